// The prompts and keys that the local and the networked dispatchers share.
#include "input/prompts.hpp"

#include <algorithm>
#include <iterator>

#include "render/render.hpp"
#include "rules/movement.hpp"
#include "rules/projectiles.hpp"
#include "rules/spells.hpp"
#include "rules/wizard.hpp"
#include "save/save.hpp"
#include "world/inventory.hpp"

namespace input {
namespace {

constexpr const char* EQUIP_PROMPT = "\x1b[94mEquip/Use: Enter item number (1-9), ESC/Space to cancel.\x1b[0m";
constexpr const char* AIM_PROMPT = "\x1b[91mAiming (use numpad keys, 'f' to fire, space to cancel).\x1b[0m";
constexpr const char* NO_AMMO = "\x1b[31mYou have no projectiles to fire.\x1b[0m";

// Cursor coordinates come from save files too, so arithmetic on them must not
// overflow whatever value a record carries.
int plus(int a, int b) { return clamp_to_int(static_cast<long long>(a) + b); }
int minus(int a, int b) { return clamp_to_int(static_cast<long long>(a) - b); }

bool is_cancel(char key) { return key == KEY_ESC || key == ' '; }

bool carries_kind(const Player& p, int kind)
{
    return std::any_of(std::begin(p.inventory), std::end(p.inventory),
                       [kind](const Item* item) { return item && item->kind == kind; });
}

// Whether a launcher is equipped is the firing rule's business, not the prompt's.
bool carries_ammunition(const Player& p)
{
    return carries_kind(p, ITEM_ARROWS) || carries_kind(p, ITEM_STONES);
}

void start_aiming(Player& p)
{
    if (!carries_ammunition(p)) {
        set_message(p, "%s", NO_AMMO);
        return;
    }
    p.aiming = 1;
    p.cursor_x = p.x;
    p.cursor_y = p.y;
    set_message(p, "%s", AIM_PROMPT);
}

// Ends aiming; only the local game's aiming shares its exit with the ally menu.
void end_aiming(Game& game, Player& p, Dispatcher dispatcher)
{
    p.aiming = 0;
    if (dispatcher == Dispatcher::local)
        game.ally_menu = 0;
}

}  // namespace

void running_key(Game& game, Player& p, char key)
{
    int dx = 0;
    int dy = 0;
    if (keypad_direction(key, dx, dy)) {
        p.cursor_x = std::clamp(plus(p.cursor_x, dx), 0, MAP_WIDTH - 1);
        p.cursor_y = std::clamp(plus(p.cursor_y, dy), 0, MAP_HEIGHT - 1);
        return;
    }
    if (key == 'r' || key == '\n' || key == '\r') {
        dx = minus(p.cursor_x, p.x);
        dy = minus(p.cursor_y, p.y);
        // The whole offset in one call: movement treats a long offset as a jump.
        if (dx != 0 || dy != 0)
            move_player(game, dx, dy, p);
        p.running = 0;
        set_message(p, "Running complete.");
        return;
    }
    if (is_cancel(key)) {
        p.running = 0;
        set_message(p, "Running mode canceled.");
    }
}

void aiming_key(Game& game, Player& p, char key, Dispatcher dispatcher)
{
    int dx = 0;
    int dy = 0;
    if (is_cancel(key)) {
        end_aiming(game, p, dispatcher);
        p.selected_spell = -1;
        set_message(p, "Aiming canceled.");
    } else if (keypad_direction(key, dx, dy)) {
        // The cursor may leave the map; the operations refuse such targets.
        p.cursor_x = plus(p.cursor_x, dx);
        p.cursor_y = plus(p.cursor_y, dy);
    } else if (key == 'f') {
        end_aiming(game, p, dispatcher);
        fire_projectile(game, minus(p.cursor_x, p.x), minus(p.cursor_y, p.y), p);
        p.selected_spell = -1;
    } else if (key == 'c') {
        end_aiming(game, p, dispatcher);
        if (p.selected_spell != -1)
            cast_spell(game, p.selected_spell, p.cursor_x, p.cursor_y, p);
        p.selected_spell = -1;
    } else if (key == 't' && dispatcher == Dispatcher::local) {
        end_aiming(game, p, dispatcher);
        if (game.wizard_mode)
            wizard_teleport(game, p.cursor_x, p.cursor_y);
        p.selected_spell = -1;
    }
}

void equip_prompt_key(Game& game, Player& p, char key)
{
    if (key >= '1' && key <= '9') {
        use_item(game, key - '1', p);
        p.choosing_item = 0;
    } else if (is_cancel(key)) {
        p.choosing_item = 0;
    }
}

bool shared_normal_key(Game& game, Player& p, char key)
{
    switch (key) {
    case '5':
        count_turn(game);
        set_message(p, "You wait a turn.");
        return true;
    case ',':
        pick_up_item(game, p);
        return true;
    case 'e':
        p.choosing_item = 1;
        set_message(p, "%s", EQUIP_PROMPT);
        return true;
    case 'f':
        start_aiming(p);
        return true;
    case 's':
        open_shop(game, p);
        return true;
    case 'S':
        save_game(game, p);
        return true;
    case 'L':
        load_game(game, p);
        return true;
    case 'q':
        p.alive = 0;
        return true;
    case '?':
        show_help(game);
        return true;
    default:
        return false;
    }
}

bool on_stairs(const Game& game, const Player& p)
{
    return p.x == game.stairs_x && p.y == game.stairs_y;
}

}  // namespace input
