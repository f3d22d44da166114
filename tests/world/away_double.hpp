// Marks players of server_game() away for a scope, as the server's seat table
// does for a seat held without its connection.
#pragma once

#include <initializer_list>

#include "world/away.hpp"

namespace world_test {

struct ScopedAway {
    explicit ScopedAway(std::initializer_list<int> numbers)
    {
        for (int n : numbers)
            mask |= 1u << n;
        set_player_away_source([](int n) { return ((mask >> n) & 1u) != 0; });
    }
    ~ScopedAway() { mask = 0, set_player_away_source(nullptr); }
    ScopedAway(const ScopedAway&) = delete;
    ScopedAway& operator=(const ScopedAway&) = delete;
    inline static unsigned mask = 0;
};

}  // namespace world_test
