#include "rules/monsters.hpp"

#include "rules/combat.hpp"
#include "rules/rule_math.hpp"
#include "term/term.hpp"
#include "world/away.hpp"

namespace {
constexpr double MELEE_REACH = 1.5;
constexpr double ALLY_HUNTING_RANGE = 5.0;
constexpr double ALLY_FOLLOW_SLACK = 3.0;
constexpr double SEARCH_BOUND = 1000.0;

double distance_to(const Monster& m, int x, int y) { return distance(m.x, m.y, x, y); }

// One sign-vector step toward the goal, or none: no path search, no second
// choice of cell. Players never block; any living monster does.
void step_toward(Game& game, Monster& m, int gx, int gy)
{
    int nx = 0;
    int ny = 0;
    if (!cell_on_map(m.x, m.y, sign_toward(m.x, gx), sign_toward(m.y, gy), nx, ny))
        return;
    if (cell_at(game, nx, ny).blocked || first_monster_at(game, nx, ny))
        return;
    m.x = nx;
    m.y = ny;
}

// The first visible living player wins; a later one only when strictly nearer.
// An away player is not there to hunt, as if invisible.
Player* nearest_visible_player(Game& game, const Monster& m)
{
    Player* best = nullptr;
    double best_distance = 0.0;
    int n = others_limit(game);
    for (int number = 0; number <= n; ++number) {
        Player* p = player_by_number(game, number);
        if (!player_in_play(game, *p) || p->invisible_turns > 0)
            continue;
        double d = distance_to(m, p->x, p->y);
        if (!best || d < best_distance) {
            best = p;
            best_distance = d;
        }
    }
    return best;
}

void hostile_turn(Game& game, Monster& m)
{
    Player* target = nearest_visible_player(game, m);
    if (!target)
        return;
    if (distance_to(m, target->x, target->y) < MELEE_REACH)
        monster_attack(game, m, *target);
    else
        step_toward(game, m, target->x, target->y);
}

enum class Master { IN_PLAY, AWAY, NONE };

// The Necromancer the allies serve: the first one in play, else whether one
// is away.
Master party_necromancer(const Game& game, const Player*& leader)
{
    Master found = Master::NONE;
    int n = others_limit(game);
    for (int number = 0; number <= n; ++number) {
        const Player* p = player_by_number(game, number);
        if (!p->alive || p->player_class != CLASS_NECROMANCER)
            continue;
        if (!player_away(game, number)) {
            leader = p;
            return Master::IN_PLAY;
        }
        found = Master::AWAY;
    }
    return found;
}

void revert_to_hostile(Monster& m)
{
    m.is_ally = 0;
    copy_text(m.color, "\x1b[31m");
}

// Counts one turn of loyalty; true while the ally still serves. A negative
// count from a damaged record has run out as surely as zero.
bool keeps_loyalty(Monster& m)
{
    if (m.ally_turns > 0)
        --m.ally_turns;
    return m.ally_turns > 0;
}

void follow_leader(Game& game, Monster& m, const Player& leader)
{
    if (distance_to(m, leader.x, leader.y) <= ALLY_FOLLOW_SLACK)
        return;
    step_toward(game, m, leader.x, leader.y);
}

// Moves and strikes in the same turn; false when no hostile monster is in range.
bool hunt(Game& game, Monster& m)
{
    Monster* target = nearest_hostile_monster(game, m.x, m.y);
    if (!target || distance_to(m, target->x, target->y) >= ALLY_HUNTING_RANGE)
        return false;
    step_toward(game, m, target->x, target->y);
    if (distance_to(m, target->x, target->y) < MELEE_REACH)
        ally_strike(game, m, *target, 4);
    return true;
}

void ally_turn(Game& game, Monster& m)
{
    const Player* leader = nullptr;
    Master master = party_necromancer(game, leader);
    // The allies of a Necromancer who is away wait for it, loyalty and all:
    // they are part of what it comes back to.
    if (master == Master::AWAY)
        return;
    if (!keeps_loyalty(m) || master == Master::NONE) {
        revert_to_hostile(m);
        return;
    }
    if (m.ally_mode == ALLY_MANUAL)
        return;
    if (m.ally_mode == ALLY_ATTACK && hunt(game, m))
        return;
    follow_leader(game, m, *leader);
}
}  // namespace

void monsters_turn(Game& game)
{
    // The count is read again after every monster: nothing here may grow it
    // today, but a slot past the end must never be visited.
    for (int i = 0; i < monster_limit(game); ++i) {
        Monster& m = game.monsters[i];
        if (!m.alive)
            continue;
        if (m.is_ally)
            ally_turn(game, m);
        else
            hostile_turn(game, m);
    }
}

Monster* nearest_hostile_monster(Game& game, int x, int y)
{
    Monster* best = nullptr;
    double best_distance = SEARCH_BOUND;
    int n = monster_limit(game);
    for (int i = 0; i < n; ++i) {
        Monster& m = game.monsters[i];
        if (!m.alive || m.is_ally)
            continue;
        double d = distance_to(m, x, y);
        if (d < best_distance) {
            best = &m;
            best_distance = d;
        }
    }
    return best;
}
