#include "rules/combat.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Melee, BlowsAreOneDrawPlusAttackLessDefenseAndAtLeastOne)
{
    Game& g = fresh();
    g.player.weapon = give(g.player, ITEM_SWORD, 1, 4);
    g.player.armor = give(g.player, ITEM_LEATHER_ARMOR, 1, 3);
    Monster& m = monster(g, 11, 10, 100, 12, 3);
    int dealt = draw(42, 5) + 5 + 4 - 3;
    player_attack(g, g.player, m);
    int taken = draw(5, 3) + 12 - 2 - 3;
    monster_attack(g, m, g.player);
    EXPECT_EQ(m.hp * 100 + g.player.hp, (100 - dealt) * 100 + 30 - taken);

    m.defense = 19;  // ten above the attack
    g.player.defense = 50;
    for (unsigned seed = 1; seed <= 10; ++seed) {
        std::srand(seed);
        player_attack(g, g.player, m);
        monster_attack(g, m, g.player);
    }
    EXPECT_EQ(m.hp * 100 + g.player.hp, (90 - dealt) * 100 + 20 - taken);
}

TEST(Melee, KillsPayGoldAndLeaveTheCorpseOfTheLastHp)
{
    Game& g = fresh();
    Monster& exact = monster(g, 11, 10, draw(3, 5) + 5 - 2, 7, 2, 9);  // dies at exactly 0
    player_attack(g, g.player, exact);
    EXPECT_EQ(exact.alive * 100 + g.player.gold, 9);
    EXPECT_STREQ(g.player.message, "\x1b[92mYou defeated the o! You gain 9 gold.\x1b[0m");
    player_attack(g, g.player, monster(g, 12, 10, 1));
    ASSERT_EQ(g.corpse_count, 2);
    EXPECT_EQ(g.corpses[0].hp, 0);
    EXPECT_LT(g.corpses[1].hp, 0);
    EXPECT_EQ(g.monster_count, 2);  // dead slots stay counted

    g.corpse_count = MAX_CORPSES;
    Monster& eleventh = monster(g, 13, 10, 1, 7, 2, 5);
    player_attack(g, g.player, eleventh);
    EXPECT_EQ(eleventh.alive * 100 + g.player.gold, 21);
    EXPECT_EQ(g.corpse_count, MAX_CORPSES);
}

TEST(Melee, APlayerHitBelowOneEndsAtZeroAndDefeated)
{
    Game& g = fresh();
    g.player.hp = 3;
    monster_attack(g, monster(g, 11, 10, 25, 20), g.player);
    EXPECT_EQ(g.player.hp + g.player.alive, 0);
    EXPECT_STREQ(g.player.message, "\x1b[91mYou have been defeated by the o! Press 'q' to quit.\x1b[0m");
}

}  // namespace
