#include <memory>

#include "rules/allies.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Steering, AStepIntoAHostileIsASilentUnpaidBlow)
{
    Game& g = fresh();
    Monster& a = ally(g, 20, 10, 25, 9);
    Monster& m = monster(g, 21, 10, 100);
    int r = draw(8, 5);
    move_ally(g, 0, 1, 0);
    EXPECT_EQ(a.x, 20);
    EXPECT_EQ(m.hp, 100 - (r + 9 - 2));
    m.hp = 1;
    move_ally(g, 0, 1, 0);
    EXPECT_EQ(m.alive, 0);
    EXPECT_EQ(g.corpse_count, 1);
    EXPECT_EQ(g.player.gold, 0);
    EXPECT_STREQ(g.player.message, "");
    EXPECT_EQ(g.turn, 0);
}

TEST(Steering, AlliesShareCellsButNotWallsWaterOrTheVoid)
{
    Game& g = fresh();
    Monster& a = ally(g, 0, 10);
    Monster& b = ally(g, 1, 10);
    move_ally(g, 0, 1, 0);
    EXPECT_EQ(a.x, 1);
    EXPECT_EQ(b.x, 1);
    wall(g, 2, 10);
    water(g, 1, 11);
    a.x = 0;
    auto before = std::make_unique<Game>(g);
    move_ally(g, 0, -1, 0);
    move_ally(g, 1, 1, 0);
    move_ally(g, 1, 0, 1);
    for (int slot : {-1, 2, 60, 99})
        move_ally(g, slot, 1, 0);
    EXPECT_EQ(0, std::memcmp(before.get(), &g, sizeof g));
}

TEST(Steering, NextAllyWrapsAndCountsSlotsInUse)
{
    Game& g = fresh();
    Monster& a = ally(g, 20, 10);
    monster(g, 25, 10);
    Monster& b = ally(g, 30, 12);
    g.controlled_ally = 0;
    select_next_ally(g, g.player);
    EXPECT_EQ(g.controlled_ally, 2);
    EXPECT_EQ(b.ally_mode, ALLY_MANUAL);
    EXPECT_EQ(g.player.cursor_x, 30);
    EXPECT_STREQ(g.player.message, "\x1b[95mNow controlling ally 3/3: Use numpad to move, 'p' for next ally, "
                                   "'m' to confirm, space to cancel.\x1b[0m");
    select_next_ally(g, g.player);
    EXPECT_EQ(g.controlled_ally, 0);
    b.alive = 0;
    select_next_ally(g, g.player);  // a single ally is chosen again
    EXPECT_EQ(g.controlled_ally, 0);
    a.is_ally = 0;
    select_next_ally(g, g.player);
    EXPECT_STREQ(g.player.message, "No other allies available to control.");
}

TEST(Steering, DamagedControlStateIsTreatedAsNoAlly)
{
    Game& g = fresh();
    ally(g, 20, 10);
    g.controlled_ally = 99;
    g.ally_control_mode = ALLY_MANUAL;
    EXPECT_TRUE(manual_control_active(g));
    manual_ally_key(g, g.player, '6');  // no slot 99: nothing moves
    EXPECT_EQ(g.monsters[0].x, 20);
    select_next_ally(g, g.player);
    EXPECT_EQ(g.controlled_ally, 0);

    g.monster_count = 0;
    select_next_ally(g, g.player);
    EXPECT_STREQ(g.player.message, "No other allies available to control.");
    g.monster_count = 1000;
    EXPECT_EQ(count_living_allies(g), 1);
}

TEST(AllyMenu, CommandsReachEveryLivingAllyAndOnlyThem)
{
    Game& g = fresh();
    open_ally_menu(g, g.player);
    EXPECT_EQ(g.ally_menu, 0);
    EXPECT_STREQ(g.player.message, "\x1b[33mYou have no allies to command.\x1b[0m");

    Monster& dead = ally(g, 5, 5);
    dead.alive = 0;
    Monster& manual = ally(g, 6, 5);
    manual.ally_mode = ALLY_MANUAL;
    Monster& hostile = monster(g, 7, 5);
    open_ally_menu(g, g.player);
    EXPECT_EQ(g.ally_menu, 1);
    ally_menu_key(g, g.player, 0, '2');
    EXPECT_EQ(manual.ally_mode, ALLY_ATTACK);
    EXPECT_EQ(dead.ally_mode, ALLY_FOLLOW);
    EXPECT_EQ(hostile.ally_mode, 0);
    EXPECT_EQ(g.ally_menu, 0);
    EXPECT_STREQ(g.player.message, "\x1b[92mAll allies set to Attack mode.\x1b[0m");
    g.ally_menu = 1;
    ally_menu_key(g, g.player, 0, '4');
    EXPECT_EQ(g.ally_menu, 0);
    EXPECT_STREQ(g.player.message, "Ally command canceled.");
}

TEST(AllyMenu, ManualControlStartsOnTheFirstLivingAllyAndEndsInPlace)
{
    Game& g = fresh();
    Player& o = other(g, 3, 3);
    ally(g, 5, 5).alive = 0;
    Monster& a = ally(g, 6, 5);
    g.ally_menu = 1;
    ally_menu_key(g, o, 1, '3');
    EXPECT_EQ(g.controlled_ally, 1);
    EXPECT_EQ(g.ally_controller, 1);
    EXPECT_EQ(g.ally_control_mode, ALLY_MANUAL);
    EXPECT_EQ(a.ally_mode, ALLY_MANUAL);
    EXPECT_EQ(o.cursor_x, 6);
    EXPECT_EQ(g.ally_menu, 0);

    manual_ally_key(g, o, '3');
    EXPECT_EQ(a.x, 7);
    EXPECT_EQ(o.cursor_y, 6);
    auto before = std::make_unique<Game>(g);
    for (char key : {'5', 'x', 'a'})
        manual_ally_key(g, o, key);
    EXPECT_EQ(0, std::memcmp(before.get(), &g, sizeof g));
    o.aiming = 1;
    manual_ally_key(g, o, 'm');
    EXPECT_STREQ(o.message, "\x1b[92mAlly position confirmed.\x1b[0m");
    EXPECT_FALSE(manual_control_active(g));
    EXPECT_EQ(g.controlled_ally, -1);
    EXPECT_EQ(g.ally_controller, -1);
    EXPECT_EQ(o.aiming, 0);
    EXPECT_EQ(a.ally_mode, ALLY_MANUAL);

    g.controlled_ally = 1;
    g.ally_control_mode = ALLY_MANUAL;
    manual_ally_key(g, o, 27);
    EXPECT_STREQ(o.message, "Manual control canceled.");
    EXPECT_EQ(g.ally_control_mode, 0);

    a.alive = 0;
    g.ally_menu = 1;
    ally_menu_key(g, o, 1, '3');  // nobody to steer: the menu just closes
    EXPECT_EQ(g.ally_menu, 0);
    EXPECT_EQ(g.controlled_ally, -1);
}

}  // namespace
