// The field of view: which squares the living players see, by Bresenham lines
// of at most ten squares.
#include <cstdint>
#include <cstdlib>

#include "term/term.hpp"
#include "world/dungeon.hpp"

namespace {
constexpr int VIEW_RADIUS = 10;

// The blocked flags packed one byte per square, so that the few thousand line
// steps of a pass stay in a couple of cache lines instead of striding 40-byte
// cells.
struct BlockedGrid {
    std::uint8_t at[MAP_WIDTH][MAP_HEIGHT];
};

// One pass over the map clears the old view and packs the blocked flags.
void clear_view(Game& game, BlockedGrid& grid)
{
    for (int x = 0; x < MAP_WIDTH; ++x) {
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            Cell& c = cell_at(game, x, y);
            c.visible = 0;
            grid.at[x][y] = c.blocked != 0;
        }
    }
}

// Walks the Bresenham line from the viewer toward the target; a blocked square
// on the way (the viewer's own included) hides the target, the target itself
// is seen even when blocked.
bool line_of_sight(const BlockedGrid& grid, int x0, int y0, int x, int y)
{
    int adx = std::abs(x - x0);
    int ady = std::abs(y - y0);
    int sx = x0 < x ? 1 : -1;
    int sy = y0 < y ? 1 : -1;
    int err = adx > ady ? adx / 2 : -(ady / 2);
    int cx = x0;
    int cy = y0;
    // A line never needs more steps than the view is wide; the bound only
    // guards against a mistake turning into an endless loop.
    for (int step = 0; step <= 4 * VIEW_RADIUS + 4; ++step) {
        if (grid.at[cx][cy])
            return false;
        int e = err;
        if (e > -adx) {
            err -= ady;
            cx += sx;
        }
        if (e < ady) {
            err += adx;
            cy += sy;
        }
        if (cx == x && cy == y)
            return true;
    }
    return false;
}

void mark_seen(Game& game, int x, int y)
{
    Cell& c = cell_at(game, x, y);
    c.visible = 1;
    c.explored = 1;
}

void view_from(Game& game, const BlockedGrid& grid, int x0, int y0)
{
    if (!in_bounds(x0, y0))
        return;
    mark_seen(game, x0, y0);
    for (int x = x0 - VIEW_RADIUS; x <= x0 + VIEW_RADIUS; ++x) {
        for (int y = y0 - VIEW_RADIUS; y <= y0 + VIEW_RADIUS; ++y) {
            // On whole squares, a distance above 10.0 is a squared distance above 100.
            int dx = x - x0;
            int dy = y - y0;
            if (!in_bounds(x, y) || dx * dx + dy * dy > VIEW_RADIUS * VIEW_RADIUS)
                continue;
            // Views only add up, so a square some line already reached needs no
            // second line.
            if (cell_at(game, x, y).visible)
                continue;
            if (line_of_sight(grid, x0, y0, x, y))
                mark_seen(game, x, y);
        }
    }
}
}  // namespace

void update_visibility(Game& game)
{
    BlockedGrid grid;
    clear_view(game, grid);
    if (game.player.alive == 1)
        view_from(game, grid, game.player.x, game.player.y);
    int n = others_limit(game);
    for (int k = 0; k < n; ++k) {
        if (game.others[k].alive == 1)
            view_from(game, grid, game.others[k].x, game.others[k].y);
    }
}
