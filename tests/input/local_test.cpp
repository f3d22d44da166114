// Local play: which mode takes a key, when the world moves, and how input ends.
#include <gtest/gtest.h>

#include "input/input_fixtures.hpp"
#include "input/local.hpp"
#include "term/term.hpp"

using namespace input_test;

namespace {

constexpr int CLOCK = 50;

// Flight runs down by one in every world step, which makes the steps countable.
class Local : public Arena {
protected:
    void SetUp() override
    {
        Arena::SetUp();
        hero().flying_turns = CLOCK;
    }
    void press(std::string_view keys)
    {
        for (char k : keys)
            handle_local_key(game(), k);
    }
    void play(std::string_view keys)
    {
        hero().alive = 1;
        ScriptedTerminal term(keys);
        run_local_game(game());
    }
    int world_steps() { return CLOCK - hero().flying_turns; }
};

TEST_F(Local, AimingCursorLeavesTheMapAndEscapeClosesTheAllyMenuToo)
{
    give(hero(), ITEM_STONES, 9);  // the tenth slot counts
    hero().x = hero().y = 1;
    press("f7775q");
    EXPECT_EQ(hero().aiming, 1);
    EXPECT_EQ(hero().cursor_x, -2);
    EXPECT_EQ(game().turn + hero().alive, 1);  // no wait and no quit while aiming
    game().ally_menu = 1;
    hero().selected_spell = 2;
    press("\x1b");
    EXPECT_EQ(hero().aiming + game().ally_menu, 0);
    EXPECT_EQ(hero().selected_spell, -1);
    EXPECT_EQ(message(hero()), "Aiming canceled.");
    free_player_items(game());
    press("f");
    EXPECT_EQ(message(hero()), "\x1b[31mYou have no projectiles to fire.\x1b[0m");
}

TEST_F(Local, CastKeyEndsProjectileAimingWithoutCasting)
{
    hero().player_class = CLASS_WIZARD;
    hero().mana = 150;
    hero().spell_count = 1;
    hero().spells[0] = Spell{ SPELL_FIREBALL, "Fireball", 20, 25, "\x1b[91m" };
    give(hero(), ITEM_ARROWS, 0);
    Monster& orc = add_monster(31, 10, false);
    press("f6c");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(hero().mana, 150);
    press("c16c");  // a chosen spell is cast at the cursor
    EXPECT_EQ(hero().mana, 130);
    EXPECT_LT(orc.hp, 20);
    hero().player_class = CLASS_FIGHTER;
    press("c");
    EXPECT_EQ(message(hero()), "\x1b[31mYou cannot cast spells.\x1b[0m");
}

TEST_F(Local, EquipPromptTakesOneToNineAndHidesLaterModes)
{
    give(hero(), ITEM_SWORD, 8);
    press("e0aq");
    EXPECT_EQ(hero().choosing_item, 1);
    EXPECT_EQ(hero().alive, 1);
    press("9");
    EXPECT_EQ(hero().choosing_item, 0);
    ASSERT_NE(hero().weapon, nullptr);
    press("e\x1b");
    EXPECT_EQ(hero().choosing_item, 0);
}

TEST_F(Local, ManualControlSteersTheAllyAndBlocksNormalKeys)
{
    Monster& ghoul = add_monster(31, 10, true);
    press("a3");
    EXPECT_EQ(game().ally_control_mode, 3);
    press("65q");
    EXPECT_EQ(ghoul.x, 32);
    EXPECT_EQ(hero().cursor_x, 32);
    EXPECT_EQ(hero().x, 30);
    EXPECT_EQ(game().turn + hero().alive, 1);
    press("m6");
    EXPECT_EQ(hero().x, 31);
}

TEST_F(Local, RunningCarriedByASaveRunsInOneMoveAndSurvivesDamagedCursors)
{
    hero().running = 1;
    hero().cursor_x = hero().x;
    hero().cursor_y = hero().y;
    press("999r");
    EXPECT_EQ(hero().x, 33);
    EXPECT_EQ(game().turn, 1);
    EXPECT_EQ(message(hero()), "Running complete.");
    hero().aiming = 1;
    hero().cursor_x = 2147483647;
    hero().cursor_y = -2147483647 - 1;
    press("3f");  // must not overflow
    EXPECT_EQ(hero().aiming, 0);
}

TEST_F(Local, StairsKeyDescendsOnlyOnTheStairs)
{
    press(">");
    EXPECT_EQ(game().level + game().turn, 1);
    EXPECT_EQ(message(hero()), "");
    srand(7);
    give(hero(), ITEM_LEATHER_ARMOR, 0);
    press("e1");
    hero().x = 40;
    press(">");
    EXPECT_EQ(game().level, 2);
    EXPECT_EQ(game().turn, 1);
    EXPECT_EQ(hero().armor, nullptr);
    EXPECT_EQ(message(hero()), "\x1b[92mYou descend to level 2!\x1b[0m");
}

TEST_F(Local, ChatAtEndOfInputAddsNothingAndALongLineLeavesNoTail)
{
    {
        ScriptedTerminal term("");
        press("//");
    }
    EXPECT_EQ(game().chat_count, 0);
    {
        ScriptedTerminal term(std::string(260, 'a') + std::string(40, 'b') + "\nsecond\n");
        press("//");
    }
    ASSERT_EQ(game().chat_count, 2);
    EXPECT_EQ(std::string(game().chat_lines[0]).find('b'), std::string::npos);
    EXPECT_TRUE(std::string(game().chat_lines[1]).ends_with("\x1b[97msecond"));
}

TEST_F(Local, EndOfInputOrAReadErrorEndsTheLoop)
{
    play("");
    EXPECT_EQ(hero().alive, 0);
    int unreadable = open("/dev/null", O_WRONLY);
    {
        ScriptedTerminal quiet("");
        ScopedRedirect in(0, unreadable);
        hero().alive = 1;
        run_local_game(game());
    }
    close(unreadable);
    EXPECT_EQ(hero().alive, 0);
    EXPECT_EQ(world_steps(), 0);
}

TEST_F(Local, EveryByteThatLeavesNoPromptOpenLetsTheWorldMoveOnce)
{
    play("x\x1b[A");
    EXPECT_EQ(world_steps(), 4);
    EXPECT_EQ(game().turn, 0);
    give(hero(), ITEM_ARROWS, 0);
    play("f\x1b[A");  // aiming holds the world; its ESC ends aiming
    EXPECT_EQ(world_steps(), 7);
    play("/55\n");  // a chat line is one key, not its characters
    EXPECT_EQ(world_steps(), 8);
    EXPECT_EQ(game().turn, 0);
    play("qx");
    EXPECT_EQ(world_steps(), 9);
}

TEST_F(Local, OpenAllyMenuHoldsTheWorldWhileWaitStillCounts)
{
    add_monster(31, 10, true);
    play("a55");
    EXPECT_EQ(game().ally_menu, 1);
    EXPECT_EQ(game().turn, 2);
    EXPECT_EQ(world_steps(), 0);
    play("1");
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(world_steps(), 1);
}

TEST_F(Local, WizardKeysAndTheTwoTTeleport)
{
    play("gt");
    EXPECT_EQ(hero().gold + hero().aiming, 0);
    play("zgt66");
    EXPECT_EQ(hero().gold, 1000);
    EXPECT_EQ(hero().aiming, 1);
    EXPECT_EQ(world_steps(), 4);  // 't' opened the cursor: the world waits
    play("t");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(hero().x, 32);
    EXPECT_EQ(world_steps(), 5);
}

}  // namespace
