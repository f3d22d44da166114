// The key dispatcher of a server player and the party descent.
#include "input/network.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "input/prompts.hpp"
#include "render/render.hpp"
#include "rules/allies.hpp"
#include "rules/movement.hpp"
#include "rules/spells.hpp"
#include "term/term.hpp"
#include "world/away.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace {

constexpr int STAIRS_SEARCH_RADIUS = 3;

// The acting record, or none for a number that names nobody in this game.
Player* acting_player(Game& game, int player_number)
{
    if (player_number < 0 || player_number > others_limit(game))
        return nullptr;
    return player_by_number(game, player_number);
}

bool is_alive_slot_at(const Game& game, int x, int y, int except_slot)
{
    for (int i = 0; i < others_limit(game); ++i) {
        const Player& o = game.others[i];
        if (i != except_slot && o.alive && o.x == x && o.y == y)
            return true;
    }
    return false;
}

bool is_leader_cell(const Game& game, int x, int y) { return game.player.x == x && game.player.y == y; }

bool open_cell(const Game& game, int x, int y) { return in_bounds(x, y) && !cell_at(game, x, y).blocked; }

// The column `distance` beside the leader: to the right while that stays on the
// map, else mirrored to the left, and held to the map as a last resort.
int column_beside(int leader_x, int distance)
{
    int x = leader_x + distance;
    if (x > MAP_WIDTH - 1)
        x = leader_x - distance;
    return std::clamp(x, 0, MAP_WIDTH - 1);
}

int row_of_leader(const Game& game) { return std::clamp(game.player.y, 0, MAP_HEIGHT - 1); }

// The carried items were released with everybody else's; the kept copy must
// not point at them, and its prompts belong to the old level.
void restore_slot(Player& slot, const Player& kept)
{
    slot = kept;
    std::fill(std::begin(slot.inventory), std::end(slot.inventory), nullptr);
    slot.weapon = nullptr;
    slot.armor = nullptr;
    slot.aiming = 0;
    slot.choosing_spell = 0;
    slot.choosing_item = 0;
    slot.selected_spell = -1;
    slot.message[0] = '\0';
    slot.alive = kept.alive != 0 ? 1 : 0;
}

bool ring_cell_near_stairs(const Game& game, int& out_x, int& out_y)
{
    for (int r = 1; r <= STAIRS_SEARCH_RADIUS; ++r) {
        for (int dx = -r; dx <= r; ++dx) {
            for (int dy = -r; dy <= r; ++dy) {
                if (std::abs(dx) + std::abs(dy) != r)
                    continue;
                int x = game.stairs_x + dx;
                int y = game.stairs_y + dy;
                if (open_cell(game, x, y) && !is_leader_cell(game, x, y) && !is_alive_slot_at(game, x, y, -1)) {
                    out_x = x;
                    out_y = y;
                    return true;
                }
            }
        }
    }
    return false;
}

// Someone who took the old stairs arrives on or around the new ones.
void place_near_stairs(Game& game, int slot)
{
    Player& o = game.others[slot];
    int x = game.stairs_x;
    int y = game.stairs_y;
    if (open_cell(game, x, y) && !is_leader_cell(game, x, y) && !is_alive_slot_at(game, x, y, slot)) {
        o.x = x;
        o.y = y;
    } else if (ring_cell_near_stairs(game, x, y)) {
        o.x = x;
        o.y = y;
    } else {
        o.x = column_beside(game.player.x, slot + 1);
        o.y = row_of_leader(game);
    }
}

void party_descent_key(Game& game, Player& p, int player_number)
{
    if (player_number != 0 || !input::on_stairs(game, game.player)) {
        set_message(p, "%sYou are not standing on the stairs.%s", "\x1b[31m", "\x1b[0m");
        return;
    }
    input::descend_party(game);
}

void follow_key(Player& p, int player_number)
{
    if (player_number == 0) {
        set_message(p, "The party leader does not need to follow anyone.");
    } else if (p.auto_follow == 0) {
        p.auto_follow = 1;
        p.follow_target = 0;
        set_message(p, "\x1b[96mNow automatically following the party leader (@). Press F again to stop.\x1b[0m");
    } else {
        p.auto_follow = 0;
        p.follow_target = -1;
        set_message(p, "\x1b[36mManual control resumed.\x1b[0m");
    }
}

void start_running(Player& p)
{
    p.running = 1;
    p.cursor_x = p.x;
    p.cursor_y = p.y;
    set_message(p, "\x1b[96mRunning mode: Use numpad to move cursor, 'r' or Enter to run, ESC/Space to cancel.\x1b[0m");
}

void cast_key(Player& p)
{
    if (p.spell_count <= 0) {
        set_message(p, "\x1b[31mYou know no spells.\x1b[0m");
        return;
    }
    p.choosing_spell = 1;
    set_message(p, "\x1b[94mChoose spell (1-9) or 'c' to cancel.\x1b[0m");
}

void ally_key(Game& game, Player& p)
{
    if (p.player_class != CLASS_NECROMANCER && !game.wizard_mode) {
        set_message(p, "\x1b[31mOnly Necromancers can command undead allies.\x1b[0m");
        return;
    }
    open_ally_menu(game, p);
}

// Wizard keys have no meaning here: the debugging mode is for local play only.
void normal_key(Game& game, Player& p, char key, int player_number, OpenDialogue* open)
{
    int dx = 0;
    int dy = 0;
    if (key == 's' && open) {
        open->shop = offer_shop(game, p, open->offer);
    } else if (keypad_direction(key, dx, dy)) {
        if (player_number == 0)
            move_player(game, dx, dy, p);
        else
            move_remote_player(game, player_number - 1, dx, dy);
    } else if (input::shared_normal_key(game, p, key)) {
        return;
    } else if (key == 'c') {
        cast_key(p);
    } else if (key == 'r') {
        start_running(p);
    } else if (key == 'F') {
        follow_key(p, player_number);
    } else if (key == '>') {
        party_descent_key(game, p, player_number);
    }
}

void dispatch(Game& game, char key, int player_number, OpenDialogue* open)
{
    Player* acting = acting_player(game, player_number);
    // An away player takes no turns, whatever still arrives for its seat.
    if (!acting || player_away(game, player_number))
        return;
    Player& p = *acting;
    if (p.running) {
        input::running_key(game, p, key);
    } else if (p.aiming) {
        input::aiming_key(game, p, key, input::Dispatcher::network);
    } else if (p.choosing_spell) {
        choose_spell(game, key, p);
    } else if (p.choosing_item) {
        input::equip_prompt_key(game, p, key);
    } else if (key == 'a') {
        ally_key(game, p);
    } else if (game.ally_menu && key >= '1' && key <= '4') {
        ally_menu_key(game, p, player_number, key);
    } else if (manual_control_active(game)) {
        manual_ally_key(game, p, key);
    } else {
        normal_key(game, p, key, player_number, open);
    }
}

}  // namespace

void handle_player_key(Game& game, char key, int player_number) { dispatch(game, key, player_number, nullptr); }

void handle_player_key(Game& game, char key, int player_number, OpenDialogue& open)
{
    open = OpenDialogue {};
    dispatch(game, key, player_number, &open);
}

void place_others_beside_leader(Game& game)
{
    for (int i = 0; i < others_limit(game); ++i) {
        Player& o = game.others[i];
        if (!o.alive)
            continue;
        o.x = column_beside(game.player.x, 2 * (i + 1));
        o.y = row_of_leader(game);
    }
}

bool all_players_on_stairs(const Game& game)
{
    if (!input::on_stairs(game, game.player))
        return false;
    for (int i = 0; i < others_limit(game); ++i) {
        const Player& o = game.others[i];
        if (player_in_play(game, o) && !input::on_stairs(game, o))
            return false;
    }
    return true;
}

namespace input {

// Everybody goes down, away players too: the level they were on is gone.
void descend_party(Game& game)
{
    const int n = others_limit(game);
    Player kept[MAX_OTHERS];
    bool took_stairs[MAX_OTHERS] = {};
    for (int i = 0; i < n; ++i) {
        kept[i] = game.others[i];
        took_stairs[i] = kept[i].alive && on_stairs(game, kept[i]);
    }

    add_clamped(game.level, 1);
    free_player_items(game);
    generate_level(game);

    // Level generation starts a game of one; the party comes back in its slots.
    game.other_count = n;
    for (int i = 0; i < n; ++i)
        restore_slot(game.others[i], kept[i]);
    place_others_beside_leader(game);
    for (int i = 0; i < n; ++i) {
        if (took_stairs[i])
            place_near_stairs(game, i);
    }
    update_visibility(game);

    char text[MESSAGE_LEN];
    std::snprintf(text, sizeof text, "%sYou descend to level %d!%s", "\x1b[92m", game.level, "\x1b[0m");
    copy_text(game.player.message, text);
    for (int i = 0; i < n; ++i)
        copy_text(game.others[i].message, text);
    count_turn(game);
}

}  // namespace input
