// Small arithmetic shared by the turn rules. Positions, offsets and statistics
// come from a record that may have been loaded or damaged, so nothing here may
// overflow or index the map with a value it has not checked.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "world/game.hpp"

// -1, 0 or +1; compares instead of subtracting so no difference can overflow.
inline int sign_toward(int from, int to) { return (to > from) - (to < from); }
inline int sign_of(int v) { return (v > 0) - (v < 0); }

// The cell (x + dx, y + dy) when it lies on the map.
inline bool cell_on_map(int x, int y, long long dx, long long dy, int& nx, int& ny)
{
    long long tx = static_cast<long long>(x) + dx;
    long long ty = static_cast<long long>(y) + dy;
    if (tx < 0 || tx >= MAP_WIDTH || ty < 0 || ty >= MAP_HEIGHT)
        return false;
    nx = static_cast<int>(tx);
    ny = static_cast<int>(ty);
    return true;
}

// roll + attack - defense, at least 1: every blow hurts.
inline int blow_damage(int roll, long long attack, long long defense)
{
    return static_cast<int>(std::clamp<long long>(roll + attack - defense, 1, INT_MAX));
}

inline void lose_hp(std::int32_t& hp, int damage) { hp = clamp_to_int(static_cast<long long>(hp) - damage); }

// rand() % spread: one call per blow.
inline int roll(int spread) { return std::rand() % spread; }
