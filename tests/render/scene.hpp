// Scenes for the frame tests: a lit map and short ways to render it.
#pragma once

#include <memory>
#include <string>

#include "render/render.hpp"
#include "render/vterm.hpp"
#include "world/game.hpp"

namespace test {

// A zeroed record on the heap (the record is 61 KB), sized exactly so that
// ASan notices any read past its end.
inline std::unique_ptr<Game> blank_game() { return std::make_unique<Game>(); }

// Every cell floor '.' in dark grey, walls '#' in yellow on the border; all
// visible unless lit is false. The player stands at (30, 10), alive.
inline std::unique_ptr<Game> lit_game(bool lit = true)
{
    auto g = blank_game();
    for (int x = 0; x < MAP_WIDTH; ++x) {
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            Cell& c = g->map[x][y];
            bool wall = x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1;
            c.glyph = wall ? '#' : '.';
            copy_text(c.color, wall ? "\x1b[33m" : "\x1b[90m");
            c.visible = lit ? 1 : 0;
        }
    }
    Player& p = g->player;
    p.x = 30;
    p.y = 10;
    p.glyph = '@';
    copy_text(p.color, "\x1b[36m");
    p.alive = 1;
    g->level = 1;
    g->controlled_ally = -1;
    g->ally_controller = -1;
    return g;
}

inline std::string frame_of(Game& g, int slot = 0)
{
    std::string out;
    build_frame(g, *player_by_number(g, slot), slot, out);
    return out;
}

inline VTerm screen_of(Game& g, int slot = 0)
{
    VTerm t;
    t.feed(frame_of(g, slot));
    return t;
}

// Screen row and column of map cell (x, y).
inline int map_row(int y) { return y + 6; }
inline int map_col(int x) { return x + 1; }

}  // namespace test
