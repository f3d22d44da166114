// The local dispatcher: which mode takes a key, what the prompts leave behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "input/input_fixtures.hpp"
#include "input/local.hpp"
#include "term/term.hpp"

using input_test::Arena;
using input_test::ScriptedTerminal;

namespace {

class LocalKeys : public Arena {
protected:
    void press(std::string_view keys)
    {
        for (char k : keys)
            handle_local_key(game(), k);
    }
    std::string message() { return hero().message; }
};

TEST_F(LocalKeys, AimingCursorLeavesTheMapAndEscapeEndsAimingAndTheAllyMenu)
{
    give(hero(), ITEM_STONES, 0);
    hero().x = 1;
    hero().y = 1;
    press("f");
    ASSERT_EQ(hero().aiming, 1);
    EXPECT_EQ(hero().cursor_x, 1);
    EXPECT_EQ(message(), "\x1b[91mAiming (use numpad keys, 'f' to fire, space to cancel).\x1b[0m");
    press("777");
    EXPECT_EQ(hero().cursor_x, -2);
    EXPECT_EQ(hero().cursor_y, -2);
    press("5xq");  // ignored while aiming: no wait, no quit
    EXPECT_EQ(game().turn, 0);
    EXPECT_EQ(hero().alive, 1);

    game().ally_menu = 1;
    hero().selected_spell = 2;
    press("\x1b[A");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(hero().selected_spell, -1);
    EXPECT_EQ(message(), "Aiming canceled.");
}

TEST_F(LocalKeys, FireNeedsArrowsOrStonesButNoLauncher)
{
    press("f");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(message(), "\x1b[31mYou have no projectiles to fire.\x1b[0m");

    give(hero(), ITEM_SWORD, 3);
    press("f");
    EXPECT_EQ(hero().aiming, 0);

    give(hero(), ITEM_ARROWS, 9);  // the tenth slot counts too
    press("f");
    EXPECT_EQ(hero().aiming, 1);
    // Firing without a bow is refused by the firing rule, and aiming still ends.
    press("6f");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(message(), "\x1b[31mYou need to equip a Bow or Slingshot to fire a projectile.\x1b[0m");
}

TEST_F(LocalKeys, CastKeyWhileAimingForAProjectileCastsNothing)
{
    hero().player_class = CLASS_WIZARD;
    hero().mana = hero().max_mana = 150;
    hero().spell_count = 1;
    hero().spells[0] = Spell{ SPELL_FIREBALL, "Fireball", 20, 25, "\x1b[91m" };
    give(hero(), ITEM_STONES, 0);
    Monster& goblin = add_monster(31, 10, false);
    game().ally_menu = 1;

    press("f6c");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(hero().mana, 150);
    EXPECT_EQ(goblin.hp, 20);
    EXPECT_EQ(hero().choosing_spell, 0);
}

TEST_F(LocalKeys, ChosenSpellIsCastAtTheCursorWithTheCastKey)
{
    hero().player_class = CLASS_WIZARD;
    hero().mana = hero().max_mana = 150;
    hero().spell_count = 1;
    hero().spells[0] = Spell{ SPELL_FIREBALL, "Fireball", 20, 25, "\x1b[91m" };
    Monster& goblin = add_monster(32, 10, false);

    press("c");
    ASSERT_EQ(hero().choosing_spell, 1);
    EXPECT_EQ(message(), "\x1b[94mChoose spell (1-9) or 'c' to cancel.\x1b[0m");
    press("1");
    ASSERT_EQ(hero().aiming, 1);
    press("66c");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(hero().selected_spell, -1);
    EXPECT_EQ(hero().mana, 130);
    EXPECT_LT(goblin.hp, 20);
}

TEST_F(LocalKeys, SpellPromptOpensOnlyForCastersOrInWizardMode)
{
    hero().spell_count = 1;
    hero().player_class = CLASS_FIGHTER;
    press("c");
    EXPECT_EQ(hero().choosing_spell, 0);
    EXPECT_EQ(message(), "\x1b[31mYou cannot cast spells.\x1b[0m");

    game().wizard_mode = 1;
    press("c");
    EXPECT_EQ(hero().choosing_spell, 1);

    hero().choosing_spell = 0;
    hero().player_class = CLASS_NECROMANCER;
    hero().spell_count = 0;
    press("c");
    EXPECT_EQ(hero().choosing_spell, 0);
    EXPECT_EQ(message(), "\x1b[31mYou cannot cast spells.\x1b[0m");
}

TEST_F(LocalKeys, EquipPromptTakesSlotsOneToNineOnly)
{
    give(hero(), ITEM_SWORD, 8);
    press("e");
    ASSERT_EQ(hero().choosing_item, 1);
    EXPECT_EQ(message(), "\x1b[94mEquip/Use: Enter item number (1-9), ESC/Space to cancel.\x1b[0m");
    press("0aq");  // ignored: the prompt hides the ally menu and quitting
    EXPECT_EQ(hero().choosing_item, 1);
    EXPECT_EQ(hero().alive, 1);
    press("9");
    EXPECT_EQ(hero().choosing_item, 0);
    ASSERT_NE(hero().weapon, nullptr);
    EXPECT_EQ(hero().weapon->kind, ITEM_SWORD);

    press("e ");
    EXPECT_EQ(hero().choosing_item, 0);
    press("e\x1b");
    EXPECT_EQ(hero().choosing_item, 0);
}

TEST_F(LocalKeys, WaitCountsATurnEvenWithTheAllyMenuOpen)
{
    add_monster(31, 10, true);
    press("a");
    ASSERT_EQ(game().ally_menu, 1);
    EXPECT_EQ(message(), "\x1b[96mAlly Command: 1=Follow, 2=Attack, 3=Manual, 4=Cancel\x1b[0m");
    press("5");
    EXPECT_EQ(game().turn, 1);
    EXPECT_EQ(game().ally_menu, 1);
    EXPECT_EQ(message(), "You wait a turn.");
    press("4");
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(message(), "Ally command canceled.");
}

TEST_F(LocalKeys, ManualControlSteersTheAllyAndBlocksNormalKeys)
{
    Monster& ghoul = add_monster(31, 10, true);
    press("a3");
    ASSERT_EQ(game().controlled_ally, 0);
    EXPECT_EQ(game().ally_control_mode, 3);
    EXPECT_EQ(game().ally_controller, 0);
    press("6");
    EXPECT_EQ(ghoul.x, 32);
    EXPECT_EQ(hero().x, 30);
    EXPECT_EQ(hero().cursor_x, 32);
    press("5qe");
    EXPECT_EQ(game().turn, 0);
    EXPECT_EQ(hero().alive, 1);
    EXPECT_EQ(hero().choosing_item, 0);
    press("m");
    EXPECT_EQ(game().controlled_ally, -1);
    EXPECT_EQ(game().ally_control_mode, 0);
    EXPECT_EQ(message(), "\x1b[92mAlly position confirmed.\x1b[0m");
    EXPECT_EQ(ghoul.ally_mode, ALLY_MANUAL);
    press("6");
    EXPECT_EQ(hero().x, 31);
}

TEST_F(LocalKeys, RunningCarriedByALoadedGameRunsInOneMove)
{
    hero().running = 1;
    hero().cursor_x = hero().x;
    hero().cursor_y = hero().y;
    press("999");
    EXPECT_EQ(hero().cursor_x, 33);
    EXPECT_EQ(hero().cursor_y, 7);
    press("r");
    EXPECT_EQ(hero().running, 0);
    EXPECT_EQ(hero().x, 33);
    EXPECT_EQ(hero().y, 7);
    EXPECT_EQ(game().turn, 1);
    EXPECT_EQ(message(), "Running complete.");
}

TEST_F(LocalKeys, DamagedCursorFromASaveDoesNotOverflow)
{
    hero().aiming = 1;
    hero().cursor_x = 2147483647;
    hero().cursor_y = -2147483647 - 1;
    press("3f");
    EXPECT_EQ(hero().aiming, 0);
    hero().running = 1;
    hero().cursor_x = -2147483647 - 1;
    press("6");
    EXPECT_EQ(hero().cursor_x, 0);
    EXPECT_EQ(hero().cursor_y, 0);
}

TEST_F(LocalKeys, SkipKeySwallowsOneKeyEvenTheChatKey)
{
    game().skip_key = 1;
    press("q");
    EXPECT_EQ(game().skip_key, 0);
    EXPECT_EQ(hero().alive, 1);
    game().skip_key = 1;
    press("/");
    EXPECT_EQ(game().chat_count, 0);
}

TEST_F(LocalKeys, StairsKeyAwayFromTheStairsDoesNothing)
{
    press(">");
    EXPECT_EQ(game().level, 1);
    EXPECT_EQ(game().turn, 0);
    EXPECT_EQ(message(), "");
}

TEST_F(LocalKeys, StairsKeyOnTheStairsDescendsOneLevelAndReleasesItems)
{
    srand(7);
    give(hero(), ITEM_SWORD, 0);
    give(hero(), ITEM_LEATHER_ARMOR, 1);
    press("e2");
    ASSERT_NE(hero().armor, nullptr);
    hero().x = game().stairs_x;
    hero().y = game().stairs_y;
    game().wizard_mode = 1;
    game().turn = 5;

    press(">");
    EXPECT_EQ(game().level, 2);
    EXPECT_EQ(game().turn, 1);  // a new level starts counting afresh
    EXPECT_EQ(game().wizard_mode, 0);
    EXPECT_EQ(hero().inventory[0], nullptr);
    EXPECT_EQ(hero().armor, nullptr);
    EXPECT_EQ(message(), "\x1b[92mYou descend to level 2!\x1b[0m");
    EXPECT_TRUE(in_bounds(hero().x, hero().y));
}

TEST_F(LocalKeys, QuitAndTheWizardSwitch)
{
    press("z");
    EXPECT_EQ(game().wizard_mode, 1);
    // Without wizard routing (that is the loop's job) 'g' is no command here.
    game().wizard_mode = 0;
    press("g");
    EXPECT_EQ(hero().gold, 0);
    press("q");
    EXPECT_EQ(hero().alive, 0);
}

class LocalChat : public LocalKeys {};

TEST_F(LocalChat, LineIsPostedWithoutItsNewline)
{
    {
        ScriptedTerminal term("  hello there\n");
        press("/");
    }
    ASSERT_EQ(game().chat_count, 1);
    std::string line = game().chat_lines[0];
    EXPECT_NE(line.find("Player"), std::string::npos);
    EXPECT_NE(line.find("hello there"), std::string::npos);
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST_F(LocalChat, EndOfInputAddsNoLine)
{
    {
        ScriptedTerminal term("");
        press("/");
        press("/");
    }
    EXPECT_EQ(game().chat_count, 0);
}

TEST_F(LocalChat, OverlongLineIsCutAndItsTailDropped)
{
    std::string text = std::string(260, 'a') + std::string(40, 'b');
    {
        ScriptedTerminal term(text + "\nsecond\n");
        press("/");
        press("/");
    }
    ASSERT_EQ(game().chat_count, 2);
    EXPECT_EQ(std::string(game().chat_lines[0]).find('b'), std::string::npos);
    EXPECT_NE(std::string(game().chat_lines[1]).find("second"), std::string::npos);
    EXPECT_EQ(std::string(game().chat_lines[1]).find('b'), std::string::npos);
}

}  // namespace
