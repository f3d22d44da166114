// The frame: chat panel, map and the entity layers on it, cursors, then the
// panels, message line and prompt, built in one buffer and written in one go.
#include "render/render.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "render/frame_text.hpp"
#include "term/term.hpp"
#include "world/away.hpp"

using frame_text::append_glyph;
using frame_text::append_pos;
using frame_text::RESET;
using frame_text::WHITE;
using frame_text::GREY;
using frame_text::YELLOW;
using frame_text::BLUE;
using frame_text::MAGENTA;
using frame_text::CYAN;
using frame_text::field;

namespace {
constexpr int MAP_TOP_ROW = 6;
constexpr int CHAT_TOP_ROW = 2;
constexpr int MESSAGE_ROW = 27;
constexpr int PROMPT_ROW = 28;

constexpr std::string_view CLEAR = "\x1b[H\x1b[J";

// Cursor move (at most 8 bytes for map rows and columns), a colour field of at
// most COLOR_LEN bytes and the glyph.
constexpr std::size_t MAX_CELL_BYTES = 8 + COLOR_LEN + 1;

constexpr int screen_row(int y) { return y + MAP_TOP_ROW; }
constexpr int screen_col(int x) { return x + 1; }

struct CellPos {
    char bytes[8];
    std::size_t size;
};

constexpr std::size_t put_decimal(char* out, std::size_t at, int n)
{
    if (n >= 10)
        out[at++] = static_cast<char>('0' + n / 10);
    out[at++] = static_cast<char>('0' + n % 10);
    return at;
}

constexpr std::array<CellPos, MAP_WIDTH * MAP_HEIGHT> make_cell_positions()
{
    std::array<CellPos, MAP_WIDTH * MAP_HEIGHT> table {};
    for (int y = 0; y < MAP_HEIGHT; ++y) {
        for (int x = 0; x < MAP_WIDTH; ++x) {
            CellPos& c = table[static_cast<std::size_t>(y * MAP_WIDTH + x)];
            std::size_t at = 0;
            c.bytes[at++] = '\x1b';
            c.bytes[at++] = '[';
            at = put_decimal(c.bytes, at, screen_row(y));
            c.bytes[at++] = ';';
            at = put_decimal(c.bytes, at, screen_col(x));
            c.bytes[at++] = 'H';
            c.size = at;
        }
    }
    return table;
}

// Writing the numbers of 1200 cursor moves out took half of every frame.
constexpr auto CELL_POSITIONS = make_cell_positions();

// Entities are drawn only where someone can see; the position comes from the
// record, so it is checked before the map is touched.
bool visible_at(const Game& game, int x, int y)
{
    return in_bounds(x, y) && cell_at(game, x, y).visible;
}

void append_map_glyph(std::string& out, int x, int y, std::string_view color, char glyph)
{
    append_glyph(out, screen_row(y), screen_col(x), color, glyph);
}

char* put_text(char* p, std::string_view text)
{
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// An away player is drawn in grey for everybody, whatever its own colour.
void append_player(std::string& out, const Game& game, const Player& p)
{
    if (p.alive && visible_at(game, p.x, p.y))
        append_map_glyph(out, p.x, p.y, player_away(game, p) ? GREY : field(p.color), p.glyph);
}

bool leader_stands_at(const Game& game, int x, int y)
{
    return game.player.alive && game.player.x == x && game.player.y == y;
}

void append_cursor(std::string& out, int x, int y, std::string_view color)
{
    append_pos(out, screen_row(y), screen_col(x));
    out.append(color);
    out.push_back('+');
    out.append(RESET);
}

void draw_message_and_prompt(const Player& viewer, std::string& out)
{
    append_pos(out, MESSAGE_ROW, 1);
    out.append(WHITE);
    out.append(field(viewer.message));
    out.append(RESET);
    append_pos(out, PROMPT_ROW, 1);
    out.append(RESET);
    out.append(BLUE);
    out.append("Input: ");
    out.append(RESET);
}
}  // namespace

void draw_chat_panel(const Game& game, std::string& out)
{
    append_pos(out, 1, 1);
    out.append(CYAN);
    out.append("--- CHAT HISTORY ---");
    // chat_count counts every line ever added; once the ring has wrapped the
    // oldest kept line sits in the slot the next one will overwrite.
    const int n = game.chat_count;
    const int shown = std::min(n, CHAT_LINES);
    const int start = n > CHAT_LINES ? n % CHAT_LINES : 0;
    for (int i = 0; i < CHAT_LINES; ++i) {
        append_pos(out, CHAT_TOP_ROW + i, 1);
        if (i < shown) {
            out.append(WHITE);
            out.append(field(game.chat_lines[(start + i) % CHAT_LINES]));
        } else {
            out.append(RESET);
            out.push_back(' ');
        }
    }
    out.append(RESET);
}

void draw_map(Game& game, std::string& out)
{
    // Every cell is written on every frame (some 17 KB), so the bytes go
    // straight into reserved room instead of through per-piece appends.
    const std::size_t start = out.size();
    out.resize(start + MAX_CELL_BYTES * MAP_WIDTH * MAP_HEIGHT);
    char* p = out.data() + start;
    for (int y = 0; y < MAP_HEIGHT; ++y) {
        for (int x = 0; x < MAP_WIDTH; ++x) {
            Cell& c = cell_at(game, x, y);
            const CellPos& pos = CELL_POSITIONS[static_cast<std::size_t>(y * MAP_WIDTH + x)];
            std::memcpy(p, pos.bytes, sizeof pos.bytes);
            p += pos.size;
            if (c.visible) {
                c.explored = 1;
                p = put_text(p, field(c.color));
                *p++ = c.glyph;
            } else if (c.explored) {
                p = put_text(p, WHITE);
                *p++ = c.glyph;
            } else {
                p = put_text(p, RESET);
                *p++ = ' ';
            }
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

void draw_projectiles(const Game& game, std::string& out)
{
    for (const Projectile& pr : game.projectiles) {
        if (pr.active && visible_at(game, pr.x, pr.y))
            append_map_glyph(out, pr.x, pr.y, field(pr.color), pr.glyph);
    }
}

void draw_floor_items(const Game& game, std::string& out)
{
    const int n = floor_item_limit(game);
    for (int i = 0; i < n; ++i) {
        const Item& it = game.floor_items[i];
        if (it.x == -1 || it.y == -1 || !visible_at(game, it.x, it.y))
            continue;
        if (monster_at(game, it.x, it.y) || leader_stands_at(game, it.x, it.y))
            continue;
        append_map_glyph(out, it.x, it.y, field(it.color), it.glyph);
    }
    if (store_limit(game) > 0) {
        const Store& s = game.stores[0];
        if (visible_at(game, s.x, s.y))
            append_map_glyph(out, s.x, s.y, BLUE, 'S');
    }
}

void draw_corpses(const Game& game, std::string& out)
{
    const int n = corpse_limit(game);
    for (int i = 0; i < n; ++i) {
        const Corpse& c = game.corpses[i];
        if (visible_at(game, c.x, c.y))
            append_map_glyph(out, c.x, c.y, GREY, '%');
    }
}

void draw_monsters(const Game& game, std::string& out)
{
    const int n = monster_limit(game);
    for (int i = 0; i < n; ++i) {
        const Monster& m = game.monsters[i];
        if (m.alive && visible_at(game, m.x, m.y))
            append_map_glyph(out, m.x, m.y, field(m.color), m.glyph);
    }
}

void draw_players(const Game& game, std::string& out)
{
    append_player(out, game, game.player);
    const int n = others_limit(game);
    for (int k = 0; k < n; ++k)
        append_player(out, game, game.others[k]);
}

void draw_cursors(const Game& game, const Player&, int viewer_slot, std::string& out)
{
    const int n = others_limit(game);
    for (int k = 0; k <= n; ++k) {
        const Player& p = *player_by_number(game, k);
        // An away player's prompt waits for its return, out of everyone's way.
        if (!p.alive || !(p.aiming || p.running) || player_away(game, k))
            continue;
        if (visible_at(game, p.cursor_x, p.cursor_y))
            append_cursor(out, p.cursor_x, p.cursor_y, k == viewer_slot ? YELLOW : CYAN);
    }
    // Only the player steering the ally gets its marker.
    const int a = game.controlled_ally;
    if (a == -1 || game.ally_control_mode != ALLY_MANUAL || game.ally_controller != viewer_slot)
        return;
    if (a < 0 || a >= monster_limit(game))
        return;
    const Monster& m = game.monsters[a];
    if (m.alive && visible_at(game, m.x, m.y))
        append_cursor(out, m.x, m.y, MAGENTA);
}

void build_frame(Game& game, const Player& viewer, int viewer_slot, std::string& out)
{
    out.append(CLEAR);
    if (game.skip_key) {
        // The help screen stands in for chat, map and panels. Nothing waits
        // here: the frame is drawn for every client, and the next key clears
        // the flag.
        out.append(CLEAR);
        out.append(help_text());
    } else {
        draw_chat_panel(game, out);
        draw_map(game, out);
        draw_projectiles(game, out);
        draw_floor_items(game, out);
        draw_corpses(game, out);
        draw_monsters(game, out);
        draw_players(game, out);
        draw_cursors(game, viewer, viewer_slot, out);
        draw_stats_panel(game, viewer, out);
        draw_minimap(game, viewer, out);
    }
    draw_message_and_prompt(viewer, out);
}

void render_screen(Game& game, const Player& viewer, int viewer_slot)
{
    // One buffer per thread, kept between frames: after the first frame no
    // allocation, and the frame leaves in one write.
    thread_local std::string frame;
    frame.clear();
    if (game.skip_key && !server_mode()) {
        // Local play holds the help screen until a key: show_help reads it
        // in the middle of the frame, before the message line is drawn. The
        // bytes are those of build_frame, only spread over three writes.
        write_screen(CLEAR);
        show_help(game);
        draw_message_and_prompt(viewer, frame);
    } else {
        build_frame(game, viewer, viewer_slot, frame);
    }
    write_screen(frame);
    std::fflush(nullptr);
}
