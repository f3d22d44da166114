#include <climits>
#include <memory>

#include "rules/projectiles.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Firing, RefusalsUseNoAmmunitionAndNoTurn)
{
    Game& g = fresh();
    Player& p = g.player;
    auto refused = [&](const char* message) {
        auto before = std::make_unique<Game>(g);
        fire_projectile(g, 1, 0, p);
        EXPECT_STREQ(p.message, message);
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    };
    refused("\x1b[31mYou need to equip a Bow or Slingshot to fire a projectile.\x1b[0m");
    weapon(p, ITEM_SWORD, 5);
    refused("\x1b[31mYou need to equip a Bow or Slingshot to fire a projectile.\x1b[0m");
    weapon(p, ITEM_BOW, 5);
    give(p, ITEM_STONES, 20);
    refused("\x1b[31mYou are out of Arrows.\x1b[0m");
    give(p, ITEM_ARROWS, 0);  // only the first stack counts, even empty
    give(p, ITEM_ARROWS, 20);
    refused("\x1b[31mYou are out of Arrows.\x1b[0m");
    p.inventory[3]->quantity = 20;
    for (Projectile& shot : g.projectiles)
        shot.active = 1;
    refused("\x1b[31mToo many projectiles already active!\x1b[0m");
}

TEST(Firing, OnlyTheSignOfTheAimCountsAndTheLastArrowFreesItsSlot)
{
    Game& g = fresh();
    Player& p = g.player;
    weapon(p, ITEM_SLINGSHOT, 3);
    give(p, ITEM_STONES, 1);
    Item* spare = give(p, ITEM_STONES, 5);
    g.projectiles[0].active = 1;
    fire_projectile(g, 5, -1, p);
    const Projectile& shot = g.projectiles[1];
    EXPECT_EQ(shot.active, 1);
    EXPECT_EQ(shot.dx * 10 + shot.dy, 9);  // (+1, -1)
    EXPECT_EQ(shot.x, 10);
    EXPECT_EQ(shot.glyph, '^');
    EXPECT_EQ(shot.damage, 18);
    EXPECT_STREQ(shot.color, "\x1b[96m");
    EXPECT_EQ(p.inventory[1], nullptr);
    EXPECT_EQ(g.turn, 1);
    EXPECT_STREQ(p.message, "\x1b[94mYou fire a projectile.\x1b[0m");
    fire_projectile(g, 0, INT_MIN, p);
    EXPECT_EQ(spare->quantity, 4);
    EXPECT_EQ(g.projectiles[2].dy, -1);
}

TEST(Flight, ShotsFlyThroughAlliesAndPlayersAndStopAtWallsAndEdges)
{
    Game& g = fresh();
    Player& o = other(g, 21, 10);
    ally(g, 22, 10);
    wall(g, 24, 10);
    g.projectiles[0] = Projectile {20, 10, 1, 0, '-', {}, 20, 1, {}};
    g.projectiles[1] = Projectile {59, 3, 1, 0, '-', {}, 20, 1, {}};
    g.projectiles[2] = Projectile {5, 5, INT_MAX, INT_MIN, '-', {}, 20, 1, {}};  // damaged
    for (int t = 0; t < 3; ++t)
        update_projectiles(g);
    EXPECT_EQ(g.projectiles[0].x, 23);
    EXPECT_EQ(g.projectiles[0].active, 1);
    EXPECT_EQ(g.projectiles[1].active, 0);
    EXPECT_EQ(g.projectiles[2].active, 0);
    update_projectiles(g);
    EXPECT_EQ(g.projectiles[0].active, 0);
    EXPECT_EQ(g.projectiles[0].x, 23);
    EXPECT_EQ(o.hp, 30);
}

TEST(Flight, HitsHaveNoRandomPartAndPayPlayerZero)
{
    Game& g = fresh();
    Player& o = other(g, 30, 10);
    Monster& m = monster(g, 31, 10, 25, 7, 6, 11);
    g.projectiles[0] = Projectile {30, 10, 1, 0, '-', {}, 10 + 15, 1, {}};
    update_projectiles(g);
    EXPECT_EQ(m.hp, 25 - 19);
    EXPECT_EQ(g.projectiles[0].active, 0);
    EXPECT_STREQ(g.player.message, "\x1b[94mProjectile hits the o for 19 damage!\x1b[0m");
    g.projectiles[0] = Projectile {30, 10, 1, 0, '-', {}, 25, 1, {}};
    update_projectiles(g);
    EXPECT_EQ(m.alive, 0);
    EXPECT_EQ(g.player.gold, 11);
    EXPECT_EQ(o.gold, 0);
    EXPECT_EQ(g.corpse_count, 1);
    EXPECT_STREQ(g.player.message, "\x1b[91mProjectile kills the o!\x1b[0m");
}

TEST(Flight, AStillShotKeepsItsSlotUntilAHostileStandsOnIt)
{
    Game& g = fresh();
    weapon(g.player, ITEM_BOW, 0);
    give(g.player, ITEM_ARROWS, 3);
    fire_projectile(g, 0, 0, g.player);
    update_projectiles(g);
    update_projectiles(g);
    EXPECT_EQ(g.projectiles[0].active, 1);
    EXPECT_EQ(g.projectiles[0].x, 10);
    Monster& m = monster(g, 10, 10, 100, 7, 5);
    update_projectiles(g);
    EXPECT_EQ(m.hp, 90);
    EXPECT_EQ(g.projectiles[0].active, 0);
}

}  // namespace
