#include "rules/allies.hpp"

#include "rules/combat.hpp"
#include "rules/movement.hpp"
#include "rules/rule_math.hpp"

namespace {
bool is_living_ally(const Monster& m) { return m.alive && m.is_ally; }

// The slot named by controlled_ally when it is one of the slots in use.
Monster* controlled_monster(Game& game)
{
    int i = game.controlled_ally;
    if (i < 0 || i >= monster_limit(game))
        return nullptr;
    return &game.monsters[i];
}

void put_cursor_on(Player& p, const Monster& m)
{
    p.cursor_x = m.x;
    p.cursor_y = m.y;
}

void set_all_modes(Game& game, int mode)
{
    int n = monster_limit(game);
    for (int i = 0; i < n; ++i) {
        if (is_living_ally(game.monsters[i]))
            game.monsters[i].ally_mode = mode;
    }
}

void start_manual_control(Game& game, Player& p, int player_number)
{
    int n = monster_limit(game);
    for (int i = 0; i < n; ++i) {
        Monster& m = game.monsters[i];
        if (!is_living_ally(m))
            continue;
        game.controlled_ally = i;
        game.ally_control_mode = ALLY_MANUAL;
        m.ally_mode = ALLY_MANUAL;
        // The renderer draws this player's cursor; a number naming nobody draws none.
        game.ally_controller = player_by_number(game, player_number) ? player_number : -1;
        put_cursor_on(p, m);
        set_message(p, "\x1b[95mManual control: Use numpad to move ally, 'p' for next ally, 'm' to "
                       "confirm, space to cancel.\x1b[0m");
        return;
    }
}

void end_manual_control(Game& game, Player& p)
{
    game.controlled_ally = -1;
    game.ally_control_mode = 0;
    game.ally_controller = -1;
    p.aiming = 0;
}
}  // namespace

void move_ally(Game& game, int slot, int dx, int dy)
{
    if (slot < 0 || slot >= monster_limit(game))
        return;
    Monster& ally = game.monsters[slot];
    int nx = 0;
    int ny = 0;
    if (!cell_on_map(ally.x, ally.y, dx, dy, nx, ny) || cell_at(game, nx, ny).blocked)
        return;
    Monster* other = first_monster_at(game, nx, ny);
    if (other && !other->is_ally) {
        ally_strike(game, ally, *other, 5);
        return;
    }
    // Allies do not block one another: two of them may share a cell.
    ally.x = nx;
    ally.y = ny;
}

void select_next_ally(Game& game, Player& p)
{
    if (game.controlled_ally == -1)
        return;
    int n = monster_limit(game);
    if (n == 0) {
        set_message(p, "No other allies available to control.");
        return;
    }
    // A slot number outside the table names no ally: the search then starts at slot 0.
    int c = game.controlled_ally;
    if (c < 0 || c >= n)
        c = n - 1;
    for (int k = 1; k <= n; ++k) {
        int i = (c + k) % n;
        Monster& m = game.monsters[i];
        if (!is_living_ally(m))
            continue;
        game.controlled_ally = i;
        m.ally_mode = ALLY_MANUAL;
        put_cursor_on(p, m);
        set_message(p,
                    "%sNow controlling ally %d/%d: Use numpad to move, 'p' for next ally, 'm' to "
                    "confirm, space to cancel.%s",
                    "\x1b[95m", i + 1, n, "\x1b[0m");
        return;
    }
    set_message(p, "No other allies available to control.");
}

int count_living_allies(const Game& game)
{
    int count = 0;
    int n = monster_limit(game);
    for (int i = 0; i < n; ++i)
        count += is_living_ally(game.monsters[i]) ? 1 : 0;
    return count;
}

void open_ally_menu(Game& game, Player& p)
{
    if (count_living_allies(game) == 0) {
        set_message(p, "\x1b[33mYou have no allies to command.\x1b[0m");
        return;
    }
    game.ally_menu = 1;
    set_message(p, "\x1b[96mAlly Command: 1=Follow, 2=Attack, 3=Manual, 4=Cancel\x1b[0m");
}

void ally_menu_key(Game& game, Player& p, int player_number, char key)
{
    switch (key) {
    case '1':
    case '2': {
        bool follow = key == '1';
        set_all_modes(game, follow ? ALLY_FOLLOW : ALLY_ATTACK);
        set_message(p, "%sAll allies set to %s mode.%s", "\x1b[92m", follow ? "Follow" : "Attack",
                    "\x1b[0m");
        break;
    }
    case '3': start_manual_control(game, p, player_number); break;
    case '4': set_message(p, "Ally command canceled."); break;
    default: return;
    }
    game.ally_menu = 0;
}

void manual_ally_key(Game& game, Player& p, char key)
{
    int dx = 0;
    int dy = 0;
    if (keypad_direction(key, dx, dy)) {
        move_ally(game, game.controlled_ally, dx, dy);
        if (const Monster* m = controlled_monster(game))
            put_cursor_on(p, *m);
        return;
    }
    switch (key) {
    case 'p': select_next_ally(game, p); break;
    case 'm':
        end_manual_control(game, p);
        set_message(p, "\x1b[92mAlly position confirmed.\x1b[0m");
        break;
    case 27:
    case ' ':
        end_manual_control(game, p);
        set_message(p, "Manual control canceled.");
        break;
    default: break;
    }
}

bool manual_control_active(const Game& game)
{
    return game.controlled_ally != -1 && game.ally_control_mode == ALLY_MANUAL;
}
