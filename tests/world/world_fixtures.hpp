// Helpers for the world tests: heap game records that release their items,
// and a scope that routes screen output and dialogues through a socket.
#pragma once

#include <memory>

#include "term/term.hpp"
#include "world/game.hpp"
#include "world/items.hpp"

namespace world_test {

struct GameDeleter {
    void operator()(Game* g) const
    {
        // Every slot, in use or not: a test may equip a player beyond other_count.
        free_inventory(g->player);
        for (Player& o : g->others)
            free_inventory(o);
        delete g;
    }
};
using GamePtr = std::unique_ptr<Game, GameDeleter>;

// A zeroed record, as the static ones start.
inline GamePtr new_game() { return GamePtr(new Game {}); }

// Server mode with the output channel on fd and a bounded dialogue wait; the
// previous settings come back at the end of the scope.
class ScopedServerOutput {
public:
    explicit ScopedServerOutput(int fd, int wait_ms = 2000)
        : m_mode(server_mode()), m_fd(output_fd()), m_wait(dialogue_wait_ms())
    {
        set_server_mode(1);
        set_output_fd(fd);
        set_dialogue_wait_ms(wait_ms);
    }
    ~ScopedServerOutput()
    {
        set_server_mode(m_mode);
        set_output_fd(m_fd);
        set_dialogue_wait_ms(m_wait);
    }
    ScopedServerOutput(const ScopedServerOutput&) = delete;
    ScopedServerOutput& operator=(const ScopedServerOutput&) = delete;

private:
    int m_mode;
    int m_fd;
    int m_wait;
};

// An open field: walls on the rim, floor everywhere else, nothing on it.
inline void make_open_field(Game& g)
{
    for (int x = 0; x < MAP_WIDTH; ++x) {
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            Cell& c = cell_at(g, x, y);
            bool rim = x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1;
            c = Cell {};
            c.glyph = rim ? '#' : '.';
            c.blocked = rim ? 1 : 0;
            c.terrain = rim ? TERRAIN_WALL : TERRAIN_FLOOR;
        }
    }
}

inline void set_water(Game& g, int x, int y)
{
    Cell& c = cell_at(g, x, y);
    c.glyph = '~';
    c.blocked = 1;
    c.terrain = TERRAIN_WATER;
}

}  // namespace world_test
