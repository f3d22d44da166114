#pragma once

#include <memory>

#include "term/term.hpp"
#include "world/game.hpp"
#include "world/items.hpp"

namespace world_test {

inline void release_game(Game* g)  // every slot: a test may equip beyond other_count
{
    free_inventory(g->player);
    for (Player& o : g->others)
        free_inventory(o);
    delete g;
}
using GamePtr = std::unique_ptr<Game, decltype(&release_game)>;
inline GamePtr new_game() { return GamePtr(new Game {}, release_game); }

// Server mode, output on fd and a bounded dialogue wait for the scope.
struct ScopedServerOutput {
    explicit ScopedServerOutput(int fd, int wait_ms = 2000)
    {
        set_server_mode(1), set_output_fd(fd), set_dialogue_wait_ms(wait_ms);
    }
    ~ScopedServerOutput() { set_server_mode(mode), set_output_fd(out), set_dialogue_wait_ms(wait); }
    int mode = server_mode(), out = output_fd(), wait = dialogue_wait_ms();
};

inline void set_cell(Game& g, int x, int y, char glyph, int terrain)
{
    Cell& c = cell_at(g, x, y) = Cell {};
    c.glyph = glyph, c.terrain = terrain, c.blocked = terrain != TERRAIN_FLOOR;
}
inline void set_water(Game& g, int x, int y) { set_cell(g, x, y, '~', TERRAIN_WATER); }
inline void make_open_field(Game& g)  // walls on the rim, bare floor inside
{
    for (int x = 0; x < MAP_WIDTH; ++x)
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            bool rim = x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1;
            set_cell(g, x, y, rim ? '#' : '.', rim ? TERRAIN_WALL : TERRAIN_FLOOR);
        }
}

}  // namespace world_test
