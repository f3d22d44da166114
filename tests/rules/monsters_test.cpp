#include <climits>
#include <memory>

#include "rules/monsters.hpp"
#include "rules/scene.hpp"

namespace {
using namespace scene;

TEST(Hunting, TiesGoToTheLowerPlayerNumberAndInvisiblePlayersAreIgnored)
{
    Game& g = fresh();
    Player& left = other(g, 6, 10);
    Player& right = other(g, 14, 10);
    g.player.x = 10;
    g.player.y = 14;
    Monster& m = monster(g, 10, 10);  // 4 from all three
    monsters_turn(g);
    EXPECT_EQ(m.y, 11);  // toward player 0

    m.x = 10;
    m.y = 10;
    g.player.invisible_turns = 5;
    monsters_turn(g);
    EXPECT_EQ(m.x, 9);  // toward others[0]

    left.invisible_turns = 1;
    right.alive = 0;
    g.player.x = 11;  // invisible and adjacent
    m.x = 10;
    m.y = 10;
    monsters_turn(g);
    EXPECT_EQ(m.x, 10);
    EXPECT_EQ(m.y, 10);
    EXPECT_EQ(g.player.hp, 30);
}

TEST(Hunting, AdjacentMonstersStrikeWithoutMoving)
{
    Game& g = fresh();
    Monster& m = monster(g, 11, 11, 25, 10);
    monsters_turn(g);
    EXPECT_EQ(m.x, 11);
    EXPECT_LT(g.player.hp, 30);
    EXPECT_GE(g.player.hp, 30 - 10);
}

TEST(Hunting, ABlockedSignStepMeansStaying)
{
    Game& g = fresh();
    Monster& m = monster(g, 13, 13);
    wall(g, 12, 12);
    monsters_turn(g);
    EXPECT_EQ(m.x, 13);  // a straight step would have got closer: no second choice
    EXPECT_EQ(m.y, 13);

    Game& c = fresh();  // a corridor: the ally in front holds back the monster behind
    Monster& behind = monster(c, 13, 10);
    ally(c, 12, 10);
    monsters_turn(c);
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
    Monster& b = ally(g, 31, 10);
    b.ally_turns = -4;  // damaged: loyalty already gone
    monsters_turn(g);
    EXPECT_EQ(a.is_ally, 1);
    EXPECT_EQ(a.x, 29);  // follows the Necromancer in others
    EXPECT_EQ(b.is_ally, 0);
    necro.alive = 0;
    monsters_turn(g);
    EXPECT_EQ(a.is_ally, 0);
    EXPECT_EQ(a.x, 29);
}

TEST(AllyModes, AttackModeMovesAndStrikesInOneTurnWithoutPay)
{
    Game& g = fresh();
    g.player.player_class = CLASS_NECROMANCER;
    g.player.invisible_turns = 9;  // the hostile stands still
    Monster& a = ally(g, 30, 10, 25, 9);
    a.ally_mode = ALLY_ATTACK;
    Monster& target = monster(g, 32, 10, 100);
    int r = draw(11, 4);
    monsters_turn(g);
    EXPECT_EQ(a.x, 31);
    EXPECT_EQ(target.hp, 100 - (r + 9 - 2));
    EXPECT_EQ(a.ally_turns, 199);
    target.hp = 1;
    monsters_turn(g);  // already adjacent: it strikes without moving
    EXPECT_EQ(a.x, 31);
    EXPECT_EQ(target.alive, 0);
    EXPECT_EQ(g.corpse_count, 1);
    EXPECT_EQ(g.player.gold, 0);
    EXPECT_STREQ(g.player.message, "");
}

TEST(AllyModes, OutOfRangeAttackersFollowAndOthersHoldStill)
{
    Game& g = fresh();
    g.player.player_class = CLASS_NECROMANCER;
    g.player.invisible_turns = 9;
    Monster& attacker = ally(g, 20, 10);
    attacker.ally_mode = ALLY_ATTACK;
    Monster& manual = ally(g, 30, 10);
    manual.ally_mode = ALLY_MANUAL;
    Monster& waiting = ally(g, 13, 10);  // exactly 3.0 from the leader
    Monster& far = monster(g, 20, 15);   // exactly 5.0 from the attacker
    Monster& beside = monster(g, 14, 10);  // next to a following ally, never struck
    monsters_turn(g);
    EXPECT_EQ(attacker.x, 19);
    EXPECT_EQ(manual.x, 30);
    EXPECT_EQ(waiting.x, 13);
    EXPECT_EQ(far.hp, 25);
    EXPECT_EQ(beside.hp, 25);
}

TEST(Hunting, NearestHostileTiesGoToTheLowerSlotAndAlliesNeverCount)
{
    Game& g = fresh();
    EXPECT_EQ(nearest_hostile_monster(g, 5, 5), nullptr);
    ally(g, 5, 6);
    Monster& first = monster(g, 5, 8);
    monster(g, 8, 5);
    EXPECT_EQ(nearest_hostile_monster(g, 5, 5), &first);
}

TEST(Hunting, DamagedCountsAndPositionsNeverLeaveTheArrays)
{
    Game& g = fresh();
    Monster& m = monster(g, INT_MAX, INT_MIN);
    g.player.x = INT_MIN;
    g.player.y = INT_MAX;
    g.monster_count = 1000;
    monsters_turn(g);
    g.monster_count = -3;
    auto before = std::make_unique<Game>(g);
    monsters_turn(g);
    EXPECT_EQ(0, std::memcmp(before.get(), &g, sizeof g));
    EXPECT_EQ(m.x, INT_MAX);
}

}  // namespace
