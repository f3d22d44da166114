#include <memory>

#include "rules/scene.hpp"
#include "rules/spells.hpp"
#include "rules/wizard.hpp"

namespace {
using namespace scene;

TEST(WizardMode, KeysActOnlyWhileTheModeIsOnAndNeverUseATurn)
{
    Game& g = fresh();
    monster(g, 20, 10);
    auto before = std::make_unique<Game>(g);
    for (char key : {'k', 'h', 'g', 't', 'w', 'x'})
        wizard_command(g, key);
    EXPECT_EQ(0, std::memcmp(before.get(), &g, sizeof g));

    wizard_command(g, 'z');
    EXPECT_STREQ(g.player.message, "\x1b[35mWizard Mode enabled.\x1b[0m");
    g.player.hp = 3;
    wizard_command(g, 'h');
    EXPECT_EQ(g.player.hp, 30);
    EXPECT_STREQ(g.player.message, "\x1b[92mHealth restored.\x1b[0m");
    wizard_command(g, 'g');
    wizard_command(g, 'g');
    EXPECT_EQ(g.player.gold, 2000);
    EXPECT_STREQ(g.player.message, "\x1b[33mGained 1000 gold.\x1b[0m");
    wizard_command(g, 'w');
    EXPECT_EQ(g.level, 6);
    wizard_command(g, 't');
    EXPECT_EQ(g.player.aiming, 1);
    EXPECT_EQ(g.player.cursor_x, 10);
    EXPECT_STREQ(g.player.message, "\x1b[95mSelect teleport location (numpad, 't' to confirm).\x1b[0m");
    EXPECT_EQ(g.turn, 0);
    g.wizard_mode = 7;  // damaged flag: still switches off
    wizard_command(g, 'z');
    EXPECT_EQ(g.wizard_mode, 0);
    EXPECT_STREQ(g.player.message, "\x1b[35mWizard Mode disabled.\x1b[0m");
}

TEST(WizardMode, WrathOfGodKillsAlliesTooAndLeavesNoCorpses)
{
    Game& g = fresh();
    for (int i = 0; i < 3; ++i)
        monster(g, 20 + i, 5);
    ally(g, 20, 6);
    ally(g, 21, 6);
    monster(g, 22, 6).alive = 0;
    g.wizard_mode = 1;
    wizard_command(g, 'k');
    EXPECT_STREQ(g.player.message, "\x1b[91mWrath of God: 5 enemies eliminated!\x1b[0m");
    EXPECT_EQ(g.corpse_count, 0);
    EXPECT_EQ(g.player.gold, 0);
    EXPECT_EQ(g.monsters[3].hp, 0);
    EXPECT_EQ(wrath_of_god(g), 0);

    Player& p = g.player;
    p.mana = 100;
    learn(p, SPELL_ANIMATE_DEAD, "Animate Dead", 30, 0);
    cast_spell(g, SPELL_ANIMATE_DEAD, 20, 5, p);
    EXPECT_STREQ(p.message, "\x1b[33mNo corpse to animate at that location.\x1b[0m");
}

TEST(WizardMode, TeleportNeedsAnOpenCellOnTheMap)
{
    Game& g = fresh();
    wall(g, 3, 3);
    water(g, 4, 4);
    for (auto [x, y] : {std::pair {3, 3}, {4, 4}, {-1, 5}, {60, 5}, {5, 20}}) {
        auto before = std::make_unique<Game>(g);
        wizard_teleport(g, x, y);
        EXPECT_STREQ(g.player.message, "\x1b[31mCannot teleport to that location.\x1b[0m");
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    }
    Monster& m = monster(g, 40, 15);
    wizard_teleport(g, 40, 15);
    EXPECT_EQ(g.player.x, 40);
    EXPECT_EQ(m.x, 40);
    EXPECT_EQ(g.map[41][15].visible, 1);
    EXPECT_EQ(g.map[10][10].visible, 0);
    EXPECT_STREQ(g.player.message, "\x1b[95mTeleported to (40, 15).\x1b[0m");
    EXPECT_EQ(g.turn, 0);
}

}  // namespace
