#include "rules/movement.hpp"

#include "rules/combat.hpp"
#include "rules/rule_math.hpp"
#include "term/term.hpp"
#include "world/away.hpp"
#include "world/dungeon.hpp"

namespace {
enum class Step { OK, OFF_MAP, WALL, WATER };

bool carries_canoe(const Player& p)
{
    for (const Item* item : p.inventory) {
        if (item && item->kind == ITEM_CANOE)
            return true;
    }
    return false;
}

// The terrain test shared by the leader's and the remote players' moves: only
// the target cell counts, so a longer offset jumps over whatever lies between.
Step test_step(const Game& game, const Player& p, int dx, int dy, int& nx, int& ny)
{
    if (!cell_on_map(p.x, p.y, dx, dy, nx, ny))
        return Step::OFF_MAP;
    const Cell& c = cell_at(game, nx, ny);
    if (!c.blocked)
        return Step::OK;
    if (c.terrain != TERRAIN_WATER)
        return Step::WALL;
    if (carries_canoe(p) || p.flying_turns > 0)
        return Step::OK;
    return Step::WATER;
}

void refuse(Player& p, Step why)
{
    switch (why) {
    case Step::OFF_MAP: set_message(p, "\x1b[33mYou can't go there.\x1b[0m"); break;
    case Step::WALL: set_message(p, "\x1b[33mYou hit a wall.\x1b[0m"); break;
    case Step::WATER: set_message(p, "\x1b[33mYou need a canoe to cross the water!\x1b[0m"); break;
    case Step::OK: break;
    }
}

void swap_places(Player& p, Monster& ally, int nx, int ny)
{
    ally.x = p.x;
    ally.y = p.y;
    p.x = nx;
    p.y = ny;
}

void end_move(Game& game)
{
    count_turn(game);
    update_visibility(game);
}
}  // namespace

bool keypad_direction(char key, int& dx, int& dy)
{
    switch (key) {
    case '7': dx = -1; dy = -1; return true;
    case '8': dx = 0; dy = -1; return true;
    case '9': dx = 1; dy = -1; return true;
    case '4': dx = -1; dy = 0; return true;
    case '6': dx = 1; dy = 0; return true;
    case '1': dx = -1; dy = 1; return true;
    case '2': dx = 0; dy = 1; return true;
    case '3': dx = 1; dy = 1; return true;
    default: return false;
    }
}

void move_player(Game& game, int dx, int dy, Player& p)
{
    int nx = 0;
    int ny = 0;
    Step step = test_step(game, p, dx, dy, nx, ny);
    if (step != Step::OK) {
        refuse(p, step);
        return;
    }
    Monster* m = first_monster_at(game, nx, ny);
    if (m && !m->is_ally) {
        player_attack(game, p, *m);
    } else if (m) {
        swap_places(p, *m, nx, ny);
        set_message(p, "\x1b[95mYou swap positions with your ally.\x1b[0m");
    } else {
        p.x = nx;
        p.y = ny;
        set_message(p, "You move.");
    }
    end_move(game);
}

void move_remote_player(Game& game, int slot, int dx, int dy)
{
    if (slot < 0 || slot >= others_limit(game) || !player_in_play(game, game.others[slot]))
        return;
    Player& p = game.others[slot];
    int nx = 0;
    int ny = 0;
    if (test_step(game, p, dx, dy, nx, ny) != Step::OK)
        return;
    Monster* m = first_monster_at(game, nx, ny);
    if (m && !m->is_ally) {
        player_attack(game, p, *m);
    } else {
        // Remote players share the ally's cell rather than push it about.
        p.x = nx;
        p.y = ny;
    }
    end_move(game);
}

void follow_step(Game& game, int player_number)
{
    Player* follower = player_by_number(game, player_number);
    if (!follower || !follower->auto_follow || follower->follow_target == -1)
        return;
    Player* leader = player_by_number(game, follower->follow_target);
    if (!leader || player_away(game, player_number))
        return;
    if (!leader->alive) {
        follower->auto_follow = 0;
        return;
    }
    // Follow mode outlasts the leader's lost link; the follower waits meanwhile.
    if (player_away(game, follower->follow_target))
        return;
    if (distance(follower->x, follower->y, leader->x, leader->y) <= 1.5)
        return;
    int nx = 0;
    int ny = 0;
    int sx = sign_toward(follower->x, leader->x);
    int sy = sign_toward(follower->y, leader->y);
    // No path search and no canoe: a follower whose one step is blocked waits.
    if (!cell_on_map(follower->x, follower->y, sx, sy, nx, ny) || cell_at(game, nx, ny).blocked)
        return;
    Monster* m = first_monster_at(game, nx, ny);
    if (m && !m->is_ally) {
        player_attack(game, *follower, *m);
    } else if (m) {
        swap_places(*follower, *m, nx, ny);
        set_message(*follower, "\x1b[95mSwapped positions with ally.\x1b[0m");
    } else {
        follower->x = nx;
        follower->y = ny;
    }
}
