#include <climits>

#include "rules/movement.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Movement, RefusedStepsOnlyExplainThemselves)
{
    Game& g = fresh();
    wall(g, 11, 10);
    water(g, 9, 10);
    struct Case { int x, y, dx, dy; const char* message; };
    for (const Case& c : {Case {0, 5, -1, 0, "\x1b[33mYou can't go there.\x1b[0m"},
                          Case {5, 19, 0, 1, "\x1b[33mYou can't go there.\x1b[0m"},
                          Case {INT_MAX, 10, 1, 0, "\x1b[33mYou can't go there.\x1b[0m"},
                          Case {10, 10, 1, 0, "\x1b[33mYou hit a wall.\x1b[0m"},
                          Case {10, 10, -1, 0, "\x1b[33mYou need a canoe to cross the water!\x1b[0m"}}) {
        g.player.x = c.x;
        g.player.y = c.y;
        auto before = snapshot(g);
        move_player(g, c.dx, c.dy, g.player);
        EXPECT_STREQ(g.player.message, c.message);
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    }
}

TEST(Movement, WaterTakesACarriedCanoeOrFlightAndLongOffsetsJump)
{
    Game& g = fresh();
    water(g, 11, 10);
    water(g, 12, 10);
    wall(g, 14, 10);
    give(g.player, ITEM_FOOD);
    give(g.player, ITEM_CANOE);  // carried, not equipped
    move_player(g, 1, 0, g.player);
    move_player(g, 1, 0, g.player);
    move_player(g, 5, 0, g.player);  // over the wall
    EXPECT_EQ(g.player.x * 10 + g.turn, 173);
    EXPECT_STREQ(g.player.message, "You move.");
    g.player.inventory[1]->kind = ITEM_FOOD;
    g.player.flying_turns = 1;
    g.player.x = 10;
    move_player(g, 1, 0, g.player);
    EXPECT_EQ(g.player.x, 11);
}

TEST(Movement, BumpsAttackTheLowerSlotAndTheLeaderSwapsWithAllies)
{
    Game& g = fresh();
    Monster& first = monster(g, 11, 10, 100);
    Monster& second = monster(g, 11, 10, 100);
    move_player(g, 1, 0, g.player);
    EXPECT_EQ(g.player.x, 10);
    EXPECT_LT(first.hp, second.hp);
    Monster& a = ally(g, 10, 11);
    move_player(g, 0, 1, g.player);
    EXPECT_STREQ(g.player.message, "\x1b[95mYou swap positions with your ally.\x1b[0m");
    EXPECT_EQ(g.player.y * 100 + a.y, 1110);
    EXPECT_EQ(g.map[10][12].visible + g.turn, 3);  // seen from the new cell
}

TEST(Movement, RemotePlayersMoveSilentlyOntoAlliesAndBadNumbersDoNothing)
{
    Game& g = fresh();
    Player& o = other(g, 20, 10);
    Monster& a = ally(g, 21, 10);
    move_remote_player(g, 0, 1, 0);
    EXPECT_EQ(o.x * 100 + a.x, 2121);
    EXPECT_EQ(o.message[0] + g.turn, 1);

    wall(g, 21, 9);
    o.auto_follow = 1;
    o.follow_target = 7;
    auto before = snapshot(g);
    move_remote_player(g, 0, 0, -1);  // wall: silent, no turn
    for (int n : {-1, 1, 3, 99, INT_MIN}) {
        move_remote_player(g, n, 1, 0);
        follow_step(g, n);
    }
    o.alive = 0;
    move_remote_player(g, 0, 1, 0);
    o.alive = 1;
    EXPECT_TRUE(same(*before, g));
}

TEST(Movement, FollowersStopWhenAdjacentNeverDetourAndLoseDeadLeaders)
{
    Game& g = fresh();
    Player& o = other(g, 12, 10);
    o.auto_follow = 1;
    follow_step(g, 1);
    follow_step(g, 1);
    EXPECT_EQ(o.x, 11);  // two away in a line: one step, then 1.0 is close enough
    o.x = o.y = 12;
    water(g, 11, 11);
    give(o, ITEM_CANOE);
    follow_step(g, 1);  // water stops a follower, canoe or not
    EXPECT_EQ(o.x, 12);
    Monster& a = ally(g, 11, 11);
    g.map[11][11] = g.map[0][0];
    follow_step(g, 1);
    EXPECT_EQ(o.x * 100 + a.x, 1112);
    EXPECT_STREQ(o.message, "\x1b[95mSwapped positions with ally.\x1b[0m");
    o.x = 30;
    g.player.alive = 0;
    follow_step(g, 1);
    EXPECT_EQ(o.auto_follow + g.turn, 0);
    EXPECT_EQ(o.x, 30);
}

}  // namespace
