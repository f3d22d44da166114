#include <climits>

#include "rules/monsters.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Hunting, TiesGoToTheLowerPlayerNumberAndInvisiblePlayersAreIgnored)
{
    Game& g = fresh();
    Player& left = other(g, 6, 10);
    g.player.y = 14;
    Monster& m = monster(g, 10, 10);  // 4 from players 0 and 1
    monsters_turn(g);
    EXPECT_EQ(m.y, 11);
    m.y = 10;
    g.player.invisible_turns = 5;
    monsters_turn(g);
    EXPECT_EQ(m.x, 9);
    left.invisible_turns = 1;
    g.player.y = 11;  // invisible and adjacent: neither struck nor approached
    m.x = 10;
    monsters_turn(g);
    EXPECT_EQ(m.x * 100 + m.y + g.player.hp, 1010 + 30);
}

TEST(Hunting, AdjacentMonstersStrikeAndBlockedStepsMeanStaying)
{
    Game& g = fresh();
    Monster& striker = monster(g, 11, 11, 25, 10);
    Monster& stuck = monster(g, 13, 13);
    wall(g, 12, 12);  // a straight step would get closer: there is no second choice
    Monster& behind = monster(g, 13, 10);
    ally(g, 12, 10);  // a living monster blocks, allies included
    monsters_turn(g);
    EXPECT_EQ(striker.x, 11);
    EXPECT_LE(g.player.hp, 30 - 8);
    EXPECT_EQ(stuck.x * 100 + stuck.y, 1313);
    EXPECT_EQ(behind.x, 13);
}

TEST(Loyalty, AnAllyServes199TurnsAndRevertsOnThe200th)
{
    Game& g = fresh();
    g.player.player_class = CLASS_NECROMANCER;
    Monster& a = ally(g, 11, 10, 25, 20);
    for (int t = 0; t < 199; ++t)
        monsters_turn(g);
    EXPECT_EQ(a.is_ally, 1);
    monsters_turn(g);
    EXPECT_EQ(a.is_ally, 0);
    EXPECT_STREQ(a.color, "\x1b[31m");
    EXPECT_EQ(g.player.hp, 30);  // reverting was its whole turn
    monsters_turn(g);
    EXPECT_LT(g.player.hp, 30);
}

TEST(Loyalty, AlliesTurnWhenTheLastNecromancerDies)
{
    Game& g = fresh();
    Player& necro = other(g, 20, 10);
    necro.player_class = CLASS_NECROMANCER;
    Monster& a = ally(g, 30, 10);
    ally(g, 31, 10).ally_turns = -4;  // damaged: loyalty already gone
    monsters_turn(g);
    EXPECT_EQ(a.x, 29);  // follows the Necromancer found among the others
    EXPECT_EQ(g.monsters[1].is_ally, 0);
    necro.alive = 0;
    monsters_turn(g);
    EXPECT_EQ(a.is_ally * 100 + a.x, 29);
}

TEST(AllyModes, AttackModeMovesAndStrikesInOneTurnWithoutPay)
{
    Game& g = fresh();
    g.player.player_class = CLASS_NECROMANCER;
    g.player.invisible_turns = 9;  // hostiles stand still
    Monster& a = ally(g, 30, 10, 25, 9);
    a.ally_mode = ALLY_ATTACK;
    Monster& target = monster(g, 32, 10, 100);
    int r = draw(11, 4);
    monsters_turn(g);
    EXPECT_EQ(a.x, 31);
    EXPECT_EQ(target.hp, 100 - (r + 9 - 2));
    target.hp = 1;
    monsters_turn(g);  // already adjacent: it strikes without moving
    EXPECT_EQ(a.x, 31);
    EXPECT_EQ(target.alive + g.player.gold + g.player.message[0], 0);
    EXPECT_EQ(g.corpse_count, 1);
}

TEST(AllyModes, OutOfRangeAttackersFollowAndOthersHoldStill)
{
    Game& g = fresh();
    g.player.player_class = CLASS_NECROMANCER;
    g.player.invisible_turns = 9;
    ally(g, 20, 10).ally_mode = ALLY_ATTACK;
    ally(g, 30, 10).ally_mode = ALLY_MANUAL;
    ally(g, 13, 10);                       // exactly 3.0 from the leader
    Monster& far = monster(g, 20, 15);     // exactly 5.0 from the attacker
    Monster& beside = monster(g, 14, 10);  // a following ally never strikes
    monster(g, 20, 5);                     // as far as `far`, in a higher slot
    monsters_turn(g);
    EXPECT_EQ(g.monsters[0].x * 10000 + g.monsters[1].x * 100 + g.monsters[2].x, 193013);
    EXPECT_EQ(far.hp + beside.hp, 50);
    EXPECT_EQ(nearest_hostile_monster(g, 20, 10), &far);  // a tie: the lower slot
}

TEST(Hunting, DamagedCountsAndPositionsNeverLeaveTheArrays)
{
    Game& g = fresh();
    monster(g, INT_MAX, INT_MIN);
    g.player.x = INT_MIN;
    g.player.y = INT_MAX;
    g.monster_count = 1000;
    monsters_turn(g);
    EXPECT_EQ(g.monsters[0].x, INT_MAX);
    g.monster_count = -3;
    auto before = snapshot(g);
    monsters_turn(g);
    EXPECT_TRUE(same(*before, g));
}

}  // namespace
