// The local loop on scripted standard input: when the world moves, wizard
// routing, and how the game ends when input does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "input/input_fixtures.hpp"
#include "input/local.hpp"

using input_test::Arena;
using input_test::ScopedRedirect;
using input_test::ScriptedTerminal;

namespace {

constexpr int CLOCK = 50;

// Flight runs down by one in every world step, which makes the steps countable.
class LocalLoop : public Arena {
protected:
    void SetUp() override
    {
        Arena::SetUp();
        hero().flying_turns = CLOCK;
    }
    void play(std::string_view keys)
    {
        ScriptedTerminal term(keys);
        run_local_game(game());
    }
    int world_steps() { return CLOCK - hero().flying_turns; }
};

TEST_F(LocalLoop, EndOfInputEndsTheGameWithoutAnotherStep)
{
    play("");
    EXPECT_EQ(hero().alive, 0);
    EXPECT_EQ(world_steps(), 0);
}

TEST_F(LocalLoop, ReadErrorEndsTheGameInsteadOfSpinning)
{
    int write_only = open("/dev/null", O_WRONLY);
    ASSERT_GE(write_only, 0);
    {
        ScriptedTerminal quiet("");
        ScopedRedirect unreadable(0, write_only);
        run_local_game(game());
    }
    close(write_only);
    EXPECT_EQ(hero().alive, 0);
    EXPECT_EQ(world_steps(), 0);
}

TEST_F(LocalLoop, UnmappedKeysAndArrowKeysLetTheWorldMoveOncePerByte)
{
    play("x");
    EXPECT_EQ(world_steps(), 1);
    EXPECT_EQ(game().turn, 0);

    hero().alive = 1;
    play("\x1b[A");
    EXPECT_EQ(world_steps(), 4);
    EXPECT_EQ(hero().x, 30);
}

TEST_F(LocalLoop, ArrowKeyWhileAimingCancelsWithItsEscape)
{
    give(hero(), ITEM_ARROWS, 0);
    play("f\x1b[A");
    EXPECT_EQ(hero().aiming, 0);
    // 'f' opened the cursor and held the world; each byte after it moved it.
    EXPECT_EQ(world_steps(), 3);
}

TEST_F(LocalLoop, OpenAllyMenuHoldsTheWorldWhileWaitStillCountsTurns)
{
    add_monster(31, 10, true);
    play("a55");
    EXPECT_EQ(game().ally_menu, 1);
    EXPECT_EQ(game().turn, 2);
    EXPECT_EQ(world_steps(), 0);

    hero().alive = 1;
    play("1");
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(world_steps(), 1);
}

TEST_F(LocalLoop, QuitStillLetsTheWorldMoveOnce)
{
    play("qx");
    EXPECT_EQ(hero().alive, 0);
    EXPECT_EQ(world_steps(), 1);
}

TEST_F(LocalLoop, WizardTeleportTakesTwoTs)
{
    game().wizard_mode = 1;
    play("t66");
    ASSERT_EQ(hero().aiming, 1);
    EXPECT_EQ(hero().cursor_x, 32);
    EXPECT_EQ(hero().x, 30);
    EXPECT_EQ(world_steps(), 0);

    hero().alive = 1;
    play("t");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(hero().x, 32);
    EXPECT_EQ(hero().y, 10);
    EXPECT_EQ(world_steps(), 1);
}

TEST_F(LocalLoop, TeleportKeyWithoutWizardModeOnlyEndsAiming)
{
    give(hero(), ITEM_STONES, 0);
    play("f66t");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(hero().x, 30);
}

TEST_F(LocalLoop, WizardKeysGoToWizardModeOnlyWhileItIsOn)
{
    play("g");
    EXPECT_EQ(hero().gold, 0);

    hero().alive = 1;
    play("zgg");
    EXPECT_EQ(game().wizard_mode, 1);
    EXPECT_EQ(hero().gold, 2000);

    hero().alive = 1;
    hero().hp = 1;
    play("hz");
    EXPECT_EQ(hero().hp, hero().max_hp);
    EXPECT_EQ(game().wizard_mode, 0);
}

TEST_F(LocalLoop, ChatLineIsReadAsOneLineNotAsKeys)
{
    play("/55\n");
    EXPECT_EQ(game().chat_count, 1);
    EXPECT_EQ(game().turn, 0);
    EXPECT_EQ(world_steps(), 1);
}

}  // namespace
