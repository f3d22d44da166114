#include <climits>
#include <memory>

#include "rules/movement.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Movement, RefusedStepsExplainThemselvesAndChangeNothingElse)
{
    Game& g = fresh();
    wall(g, 11, 10);
    water(g, 9, 10);
    struct Case { int x, y, dx, dy; const char* message; };
    const Case cases[] = {
        {0, 5, -1, 0, "\x1b[33mYou can't go there.\x1b[0m"},
        {5, 19, 0, 1, "\x1b[33mYou can't go there.\x1b[0m"},
        {10, 10, 1, 0, "\x1b[33mYou hit a wall.\x1b[0m"},
        {10, 10, -1, 0, "\x1b[33mYou need a canoe to cross the water!\x1b[0m"},
        {INT_MAX, 10, 1, 0, "\x1b[33mYou can't go there.\x1b[0m"},  // damaged position
    };
    for (const Case& c : cases) {
        g.player.x = c.x;
        g.player.y = c.y;
        auto before = std::make_unique<Game>(g);
        move_player(g, c.dx, c.dy, g.player);
        EXPECT_STREQ(g.player.message, c.message);
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    }
}

TEST(Movement, WaterNeedsACanoeAnywhereInThePackOrFlight)
{
    Game& g = fresh();
    water(g, 11, 10);
    water(g, 12, 10);
    give(g.player, ITEM_FOOD);
    give(g.player, ITEM_CANOE);  // carried, not equipped
    move_player(g, 1, 0, g.player);
    move_player(g, 1, 0, g.player);
    EXPECT_EQ(g.player.x, 12);
    EXPECT_EQ(g.turn, 2);
    EXPECT_STREQ(g.player.message, "You move.");

    Game& f = fresh();
    water(f, 11, 10);
    f.player.flying_turns = 1;
    move_player(f, 1, 0, f.player);
    EXPECT_EQ(f.player.x, 11);
}

TEST(Movement, BumpingAttacksTheLowerSlotAndSwapsWithAllies)
{
    Game& g = fresh();
    Monster& first = monster(g, 11, 10, 100);
    Monster& second = monster(g, 11, 10, 100);
    move_player(g, 1, 0, g.player);
    EXPECT_EQ(g.player.x, 10);
    EXPECT_LT(first.hp, 100);
    EXPECT_EQ(second.hp, 100);
    EXPECT_EQ(g.turn, 1);

    Monster& a = ally(g, 10, 11);
    move_player(g, 0, 1, g.player);
    EXPECT_STREQ(g.player.message, "\x1b[95mYou swap positions with your ally.\x1b[0m");
    EXPECT_EQ(g.player.y, 11);
    EXPECT_EQ(a.y, 10);
    EXPECT_EQ(g.turn, 2);
    EXPECT_EQ(g.map[10][11].visible, 1);
}

TEST(Movement, LongOffsetsJumpOverWhatLiesBetween)
{
    Game& g = fresh();
    wall(g, 12, 10);
    move_player(g, 5, 0, g.player);
    EXPECT_EQ(g.player.x, 15);
    wall(g, 20, 10);
    move_player(g, 5, 0, g.player);
    EXPECT_EQ(g.player.x, 15);
}

TEST(Movement, RemotePlayersMoveSilentlyOntoAllies)
{
    Game& g = fresh();
    Player& o = other(g, 20, 10);
    Monster& a = ally(g, 21, 10);
    wall(g, 20, 9);
    move_remote_player(g, 0, 1, 0);
    EXPECT_EQ(o.x, 21);
    EXPECT_EQ(a.x, 21);
    EXPECT_STREQ(o.message, "");
    EXPECT_EQ(g.turn, 1);

    o.x = 20;
    auto before = std::make_unique<Game>(g);
    move_remote_player(g, 0, 0, -1);  // wall: silent, no turn
    for (int slot : {-1, 1, 3, 99, INT_MIN})
        move_remote_player(g, slot, 1, 0);
    o.alive = 0;
    move_remote_player(g, 0, 1, 0);
    o.alive = 1;
    EXPECT_EQ(0, std::memcmp(before.get(), &g, sizeof g));
}

TEST(Movement, FollowersStepTowardTheLeaderUntilAdjacent)
{
    Game& g = fresh();
    Player& o = other(g, 12, 10);
    o.auto_follow = 1;
    o.follow_target = 0;
    follow_step(g, 1);
    EXPECT_EQ(o.x, 11);
    follow_step(g, 1);
    EXPECT_EQ(o.x, 11);  // distance 1.0

    o.x = 12;
    o.y = 11;  // a knight's move
    follow_step(g, 1);
    EXPECT_EQ(o.x, 11);
    EXPECT_EQ(o.y, 10);

    o.x = 12;
    o.y = 12;
    water(g, 11, 11);
    give(o, ITEM_CANOE);
    follow_step(g, 1);  // water stops a follower, canoe or not, and there is no detour
    EXPECT_EQ(o.x, 12);

    Monster& a = ally(g, 11, 11);
    g.map[11][11] = g.map[0][0];
    follow_step(g, 1);
    EXPECT_EQ(o.x, 11);
    EXPECT_EQ(a.x, 12);
    EXPECT_STREQ(o.message, "\x1b[95mSwapped positions with ally.\x1b[0m");
    EXPECT_EQ(g.turn, 0);
}

TEST(Movement, FollowModeEndsWithTheLeaderAndIgnoresBadNumbers)
{
    Game& g = fresh();
    Player& o = other(g, 20, 10);
    o.auto_follow = 1;
    o.follow_target = 7;
    auto before = std::make_unique<Game>(g);
    follow_step(g, 1);
    follow_step(g, 9);
    follow_step(g, -1);
    EXPECT_EQ(0, std::memcmp(before.get(), &g, sizeof g));

    o.follow_target = 0;
    g.player.alive = 0;
    follow_step(g, 1);
    EXPECT_EQ(o.auto_follow, 0);
    EXPECT_EQ(o.x, 20);
}

TEST(Movement, KeypadDirections)
{
    int dx = 9;
    int dy = 9;
    EXPECT_TRUE(keypad_direction('7', dx, dy));
    EXPECT_EQ(dx * 10 + dy, -11);
    EXPECT_TRUE(keypad_direction('3', dx, dy));
    EXPECT_EQ(dx * 10 + dy, 11);
    EXPECT_TRUE(keypad_direction('8', dx, dy));
    EXPECT_EQ(dy, -1);
    EXPECT_FALSE(keypad_direction('5', dx, dy));
    EXPECT_FALSE(keypad_direction('a', dx, dy));
}

}  // namespace
