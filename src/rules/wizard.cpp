#include "rules/wizard.hpp"

#include "rules/rule_math.hpp"
#include "term/term.hpp"
#include "world/dungeon.hpp"

namespace {
constexpr int FINAL_LEVEL = 6;

void toggle(Game& game)
{
    // Any non-zero value counts as on, so a damaged flag still switches cleanly.
    game.wizard_mode = game.wizard_mode ? 0 : 1;
    set_message(game.player, "%sWizard Mode %s.%s", "\x1b[35m", game.wizard_mode ? "enabled" : "disabled",
                "\x1b[0m");
}

void start_teleport_cursor(Player& p)
{
    p.aiming = 1;
    p.cursor_x = p.x;
    p.cursor_y = p.y;
    set_message(p, "%sSelect teleport location (numpad, 't' to confirm).%s", "\x1b[95m", "\x1b[0m");
}
}  // namespace

void wizard_command(Game& game, char key)
{
    Player& p = game.player;
    if (key == 'z') {
        toggle(game);
        return;
    }
    if (!game.wizard_mode)
        return;
    switch (key) {
    case 'k':
        set_message(p, "%sWrath of God: %d enemies eliminated!%s", "\x1b[91m", wrath_of_god(game), "\x1b[0m");
        break;
    case 'h':
        p.hp = p.max_hp;
        set_message(p, "%sHealth restored.%s", "\x1b[92m", "\x1b[0m");
        break;
    case 'g':
        add_clamped(p.gold, 1000);
        set_message(p, "%sGained 1000 gold.%s", "\x1b[33m", "\x1b[0m");
        break;
    case 't': start_teleport_cursor(p); break;
    case 'w':
        game.level = FINAL_LEVEL;
        set_message(p, "%sWarped to final level.%s", "\x1b[95m", "\x1b[0m");
        break;
    default: break;
    }
}

int wrath_of_god(Game& game)
{
    // Allies die too, and nobody leaves a corpse or pays gold.
    int count = 0;
    int n = monster_limit(game);
    for (int i = 0; i < n; ++i) {
        Monster& m = game.monsters[i];
        if (!m.alive)
            continue;
        m.hp = 0;
        m.alive = 0;
        ++count;
    }
    return count;
}

void wizard_teleport(Game& game, int x, int y)
{
    Player& p = game.player;
    if (!in_bounds(x, y) || cell_at(game, x, y).blocked) {
        set_message(p, "%sCannot teleport to that location.%s", "\x1b[31m", "\x1b[0m");
        return;
    }
    p.x = x;
    p.y = y;
    update_visibility(game);
    set_message(p, "%sTeleported to (%d, %d).%s", "\x1b[95m", x, y, "\x1b[0m");
}
