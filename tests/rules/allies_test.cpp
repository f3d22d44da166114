#include "rules/allies.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Steering, AStepIntoAHostileIsASilentUnpaidBlowAndAlliesShareCells)
{
    Game& g = fresh();
    Monster& a = ally(g, 20, 10, 25, 9);
    Monster& m = monster(g, 21, 10, 100);
    Monster& b = ally(g, 20, 11);
    int r = draw(8, 5);
    move_ally(g, 0, 1, 0);
    EXPECT_EQ(a.x * 1000 + m.hp, 20000 + 100 - (r + 9 - 2));
    m.hp = 1;
    move_ally(g, 0, 1, 0);
    EXPECT_EQ(m.alive + g.player.gold + g.turn + g.player.message[0], 0);
    EXPECT_EQ(g.corpse_count, 1);
    move_ally(g, 0, 0, 1);
    EXPECT_EQ(a.y * 100 + b.y, 1111);
}

TEST(Steering, WallsWaterTheEdgeAndBadSlotsStopAnAlly)
{
    Game& g = fresh();
    ally(g, 0, 10);
    wall(g, 1, 10);
    water(g, 0, 11);
    auto before = snapshot(g);
    for (auto [dx, dy] : {std::pair {-1, 0}, {1, 0}, {0, 1}})
        move_ally(g, 0, dx, dy);
    for (int slot : {-1, 1, 60, 99})
        move_ally(g, slot, 0, -1);
    EXPECT_TRUE(same(*before, g));
}

TEST(Steering, NextAllyWrapsOverTheSlotsInUseAndSurvivesDamagedState)
{
    Game& g = fresh();
    Monster& a = ally(g, 20, 10);
    monster(g, 25, 10);
    Monster& b = ally(g, 30, 12);
    g.controlled_ally = 0;
    select_next_ally(g, g.player);
    EXPECT_EQ(g.controlled_ally * 100 + g.player.cursor_x, 230);
    EXPECT_EQ(b.ally_mode, ALLY_MANUAL);
    EXPECT_STREQ(g.player.message, "\x1b[95mNow controlling ally 3/3: Use numpad to move, 'p' for next ally, "
                                   "'m' to confirm, space to cancel.\x1b[0m");
    b.alive = 0;
    g.controlled_ally = 99;  // names no slot: the search starts at slot 0
    select_next_ally(g, g.player);
    select_next_ally(g, g.player);  // a single ally is chosen again
    EXPECT_EQ(g.controlled_ally, 0);
    a.is_ally = 0;
    select_next_ally(g, g.player);
    EXPECT_STREQ(g.player.message, "No other allies available to control.");
    g.player.message[0] = '\0';
    g.monster_count = 0;  // would divide by zero
    select_next_ally(g, g.player);
    EXPECT_STREQ(g.player.message, "No other allies available to control.");
}

TEST(AllyMenu, CommandsReachEveryLivingAllyAndOnlyThem)
{
    Game& g = fresh();
    open_ally_menu(g, g.player);
    EXPECT_STREQ(g.player.message, "\x1b[33mYou have no allies to command.\x1b[0m");
    Monster& dead = ally(g, 5, 5);
    dead.alive = 0;
    Monster& manual = ally(g, 6, 5);
    manual.ally_mode = ALLY_MANUAL;
    Monster& hostile = monster(g, 7, 5);
    g.monster_count = 1000;  // held to the table
    EXPECT_EQ(g.ally_menu + count_living_allies(g), 1);
    open_ally_menu(g, g.player);
    ally_menu_key(g, g.player, 0, '2');
    EXPECT_EQ(manual.ally_mode * 100 + dead.ally_mode * 10 + hostile.ally_mode, 210);
    EXPECT_EQ(g.ally_menu, 0);
    EXPECT_STREQ(g.player.message, "\x1b[92mAll allies set to Attack mode.\x1b[0m");
}

TEST(AllyMenu, ManualControlStartsOnTheFirstLivingAllyAndEndsInPlace)
{
    Game& g = fresh();
    Player& o = other(g, 3, 3);
    ally(g, 5, 5).alive = 0;
    Monster& a = ally(g, 6, 5);
    g.ally_menu = 1;
    ally_menu_key(g, o, 1, '3');
    EXPECT_EQ(g.controlled_ally * 10 + g.ally_controller, 11);
    EXPECT_EQ(g.ally_control_mode * 10 + a.ally_mode, 33);
    EXPECT_EQ(o.cursor_x + g.ally_menu, 6);
    manual_ally_key(g, o, '3');
    EXPECT_EQ(a.x * 100 + a.y + o.cursor_y, 706 + 6);
    auto before = snapshot(g);
    for (char key : {'5', 'x', 'a'})
        manual_ally_key(g, o, key);
    EXPECT_TRUE(same(*before, g));
    o.aiming = 1;
    manual_ally_key(g, o, 'm');
    EXPECT_STREQ(o.message, "\x1b[92mAlly position confirmed.\x1b[0m");
    EXPECT_FALSE(manual_control_active(g));
    EXPECT_EQ(g.ally_controller + o.aiming, -1);
    EXPECT_EQ(a.ally_mode, ALLY_MANUAL);
    g.controlled_ally = 99;
    g.ally_control_mode = ALLY_MANUAL;
    manual_ally_key(g, o, '6');  // no slot 99: nothing moves
    manual_ally_key(g, o, ' ');
    EXPECT_EQ(a.x + g.controlled_ally, 6);
    EXPECT_STREQ(o.message, "Manual control canceled.");
}

}  // namespace
