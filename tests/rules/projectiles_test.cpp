#include <climits>

#include "rules/projectiles.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Firing, RefusalsUseNoAmmunitionAndNoTurn)
{
    Game& g = fresh();
    Player& p = g.player;
    auto refused = [&](const char* message) {
        auto before = snapshot(g);
        fire_projectile(g, 1, 0, p);
        EXPECT_STREQ(p.message, message);
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    };
    p.weapon = give(p, ITEM_SWORD);
    refused("\x1b[31mYou need to equip a Bow or Slingshot to fire a projectile.\x1b[0m");
    p.weapon = give(p, ITEM_BOW);
    give(p, ITEM_STONES, 20);
    Item* empty = give(p, ITEM_ARROWS, 0);  // only the first stack counts
    give(p, ITEM_ARROWS, 20);
    refused("\x1b[31mYou are out of Arrows.\x1b[0m");
    empty->quantity = 20;
    for (Projectile& shot : g.projectiles)
        shot.active = 1;
    refused("\x1b[31mToo many projectiles already active!\x1b[0m");
}

TEST(Firing, OnlyTheSignOfTheAimCountsAndTheLastStoneFreesItsSlot)
{
    Game& g = fresh();
    Player& p = g.player;
    p.weapon = give(p, ITEM_SLINGSHOT, 1, 3);
    give(p, ITEM_STONES, 1);
    Item* spare = give(p, ITEM_STONES, 5);
    g.projectiles[0].active = 1;
    fire_projectile(g, 5, -1, p);
    const Projectile& shot = g.projectiles[1];
    EXPECT_EQ(shot.dx * 10 + shot.dy, 9);  // (+1, -1)
    EXPECT_EQ(shot.x * 100 + shot.y, 1010);
    EXPECT_EQ(shot.glyph * 100 + shot.damage, '^' * 100 + 18);
    EXPECT_EQ(p.inventory[1], nullptr);
    EXPECT_EQ(g.turn, 1);
    fire_projectile(g, 0, INT_MIN, p);
    EXPECT_EQ(spare->quantity * 10 + g.projectiles[2].dy, 39);
}

TEST(Flight, ShotsPassAlliesAndPlayersAndStopAtWallsAndEdges)
{
    Game& g = fresh();
    other(g, 21, 10);
    ally(g, 22, 10);
    wall(g, 24, 10);
    g.projectiles[0] = Projectile {20, 10, 1, 0, '-', {}, 20, 1, {}};
    g.projectiles[1] = Projectile {59, 3, 1, 0, '-', {}, 20, 1, {}};
    g.projectiles[2] = Projectile {5, 5, INT_MAX, INT_MIN, '-', {}, 20, 1, {}};  // damaged
    for (int t = 0; t < 3; ++t)
        update_projectiles(g);
    EXPECT_EQ(g.projectiles[0].x * 10 + g.projectiles[1].active + g.projectiles[2].active, 230);
    update_projectiles(g);
    EXPECT_EQ(g.projectiles[0].x * 10 + g.projectiles[0].active, 230);
    EXPECT_EQ(g.others[0].hp, 30);
}

TEST(Flight, HitsHaveNoRandomPartAndPayPlayerZero)
{
    Game& g = fresh();
    Player& o = other(g, 30, 10);
    Monster& m = monster(g, 31, 10, 25, 7, 6, 11);
    for (int shot = 0; shot < 2; ++shot)
        g.projectiles[shot] = Projectile {30, 10, 1, 0, '-', {}, 10 + 15, 1, {}};
    update_projectiles(g);
    EXPECT_EQ(m.alive * 100 + g.player.gold * 10 + o.gold, 110);
    EXPECT_STREQ(g.player.message, "\x1b[91mProjectile kills the o!\x1b[0m");
    EXPECT_EQ(g.projectiles[0].active + g.projectiles[1].active + g.corpse_count, 1);
    EXPECT_EQ(g.corpses[0].hp, 25 - 19 - 19);
}

TEST(Flight, AStillShotKeepsItsSlotUntilAHostileStandsOnIt)
{
    Game& g = fresh();
    g.player.weapon = give(g.player, ITEM_BOW);
    give(g.player, ITEM_ARROWS, 3);
    fire_projectile(g, 0, 0, g.player);
    update_projectiles(g);
    update_projectiles(g);
    EXPECT_EQ(g.projectiles[0].active * 100 + g.projectiles[0].x, 110);
    Monster& m = monster(g, 10, 10, 100, 7, 5);
    update_projectiles(g);
    EXPECT_EQ(m.hp + g.projectiles[0].active, 90);
    EXPECT_STREQ(g.player.message, "\x1b[94mProjectile hits the o for 10 damage!\x1b[0m");
}

}  // namespace
