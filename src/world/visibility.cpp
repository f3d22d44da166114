#include <cstdlib>

#include "term/term.hpp"
#include "world/dungeon.hpp"

namespace {
constexpr int VIEW_RADIUS = 10;

// Walks the Bresenham line from the viewer toward the target; a blocked square
// on the way (the viewer's own included) hides the target, the target itself
// is seen even when blocked.
bool line_of_sight(const Game& game, int x0, int y0, int x, int y)
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
        if (cell_at(game, cx, cy).blocked)
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

void view_from(Game& game, int x0, int y0)
{
    if (!in_bounds(x0, y0))
        return;
    for (int x = x0 - VIEW_RADIUS; x <= x0 + VIEW_RADIUS; ++x) {
        for (int y = y0 - VIEW_RADIUS; y <= y0 + VIEW_RADIUS; ++y) {
            if (!in_bounds(x, y) || distance(x0, y0, x, y) > VIEW_RADIUS)
                continue;
            if ((x == x0 && y == y0) || line_of_sight(game, x0, y0, x, y))
                mark_seen(game, x, y);
        }
    }
}
}  // namespace

void update_visibility(Game& game)
{
    for (auto& column : game.map) {
        for (Cell& c : column)
            c.visible = 0;
    }
    if (game.player.alive == 1)
        view_from(game, game.player.x, game.player.y);
    int n = others_limit(game);
    for (int k = 0; k < n; ++k) {
        if (game.others[k].alive == 1)
            view_from(game, game.others[k].x, game.others[k].y);
    }
}
