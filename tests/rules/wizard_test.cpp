#include "rules/scene.hpp"
#include "rules/spells.hpp"
#include "rules/wizard.hpp"

namespace {
using namespace scene;

TEST(WizardMode, KeysActOnlyWhileTheModeIsOnAndNeverUseATurn)
{
    Game& g = fresh();
    auto before = snapshot(g);
    for (char key : {'k', 'h', 'g', 't', 'w', 'x'})
        wizard_command(g, key);
    EXPECT_TRUE(same(*before, g));
    g.player.hp = 3;
    for (char key : {'z', 'h', 'g', 'g', 'w', 't'})
        wizard_command(g, key);
    EXPECT_EQ(g.player.hp * 10000 + g.player.gold, 302000);
    EXPECT_EQ(g.level * 1000 + g.player.aiming * 100 + g.player.cursor_x + g.turn, 6110);
    g.wizard_mode = 7;  // damaged flag: still switches off
    wizard_command(g, 'z');
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
    EXPECT_EQ(g.corpse_count + g.player.gold + g.monsters[3].hp + wrath_of_god(g), 0);
}

TEST(WizardMode, TeleportNeedsAnOpenCellOnTheMap)
{
    Game& g = fresh();
    wall(g, 3, 3);
    water(g, 4, 4);
    for (auto [x, y] : {std::pair {3, 3}, {4, 4}, {-1, 5}, {60, 5}, {5, 20}}) {
        auto before = snapshot(g);
        wizard_teleport(g, x, y);
        EXPECT_STREQ(g.player.message, "\x1b[31mCannot teleport to that location.\x1b[0m");
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    }
    Monster& m = monster(g, 40, 15);
    wizard_teleport(g, 40, 15);
    EXPECT_EQ(g.player.x + m.x + g.turn, 80);
    EXPECT_EQ(g.map[41][15].visible - g.map[10][10].visible, 1);
    EXPECT_STREQ(g.player.message, "\x1b[95mTeleported to (40, 15).\x1b[0m");
}

}  // namespace
