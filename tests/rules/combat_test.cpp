#include "rules/combat.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Melee, PlayerBlowIsOneDrawPlusAttackAndWeaponLessDefense)
{
    Game& g = fresh();
    weapon(g.player, ITEM_SWORD, 4);
    Monster& m = monster(g, 11, 10, 100, 7, 3);
    int r = draw(42, 5);
    player_attack(g, g.player, m);
    int damage = r + 5 + 4 - 3;
    EXPECT_EQ(m.hp, 100 - damage);
    char expected[MESSAGE_LEN];
    std::snprintf(expected, sizeof expected, "\x1b[91mYou hit the o for %d damage!\x1b[0m", damage);
    EXPECT_STREQ(g.player.message, expected);
    EXPECT_EQ(g.corpse_count, 0);
}

TEST(Melee, EveryBlowDoesAtLeastOne)
{
    Game& g = fresh();
    Monster& m = monster(g, 11, 10, 100, 0, 15);  // defense 10 above the attack
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::srand(seed);
        player_attack(g, g.player, m);
    }
    EXPECT_EQ(m.hp, 80);
    g.player.defense = 50;
    monster_attack(g, m, g.player);
    EXPECT_EQ(g.player.hp, 29);
}

TEST(Melee, KillsPayGoldAndLeaveTheCorpseOfTheLastHp)
{
    Game& g = fresh();
    int r = draw(3, 5);
    Monster& exact = monster(g, 11, 10, r + 5 - 2, 7, 2, 9);  // dies at exactly 0
    player_attack(g, g.player, exact);
    EXPECT_EQ(exact.alive, 0);
    EXPECT_EQ(g.player.gold, 9);
    EXPECT_STREQ(g.player.message, "\x1b[92mYou defeated the o! You gain 9 gold.\x1b[0m");
    ASSERT_EQ(g.corpse_count, 1);
    EXPECT_EQ(g.corpses[0].hp, 0);
    EXPECT_EQ(g.corpses[0].max_hp, exact.max_hp);

    Monster& over = monster(g, 12, 10, 1);
    player_attack(g, g.player, over);
    EXPECT_LT(g.corpses[1].hp, 0);
    EXPECT_EQ(g.monster_count, 2);  // dead slots stay counted

    g.corpse_count = MAX_CORPSES;
    Monster& eleventh = monster(g, 13, 10, 1, 7, 2, 5);
    player_attack(g, g.player, eleventh);
    EXPECT_EQ(eleventh.alive, 0);
    EXPECT_EQ(g.player.gold, 9 + 7 + 5);
    EXPECT_EQ(g.corpse_count, MAX_CORPSES);
}

TEST(Melee, MonsterBlowCountsArmourAndDefeatStopsAtZero)
{
    Game& g = fresh();
    armor(g.player, 3);
    Monster& m = monster(g, 11, 10, 25, 12);
    int r = draw(5, 3);
    monster_attack(g, m, g.player);
    int damage = r + 12 - 2 - 3;
    EXPECT_EQ(g.player.hp, 30 - damage);
    char expected[MESSAGE_LEN];
    std::snprintf(expected, sizeof expected, "\x1b[31mThe o attacks you for %d damage!\x1b[0m", damage);
    EXPECT_STREQ(g.player.message, expected);

    g.player.hp = 3;
    monster_attack(g, m, g.player);
    EXPECT_EQ(g.player.hp, 0);
    EXPECT_EQ(g.player.alive, 0);
    EXPECT_STREQ(g.player.message, "\x1b[91mYou have been defeated by the o! Press 'q' to quit.\x1b[0m");
}

}  // namespace
