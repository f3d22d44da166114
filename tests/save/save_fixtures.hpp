// Games for the save tests and the benchmark, and patch(): edits every copy of a record field in a save file.
#pragma once

#include <cstring>
#include <string>
#include <vector>
#include "world/game.hpp"

namespace save_test {

// Monsters, floor items, shop, corpses, chat, another player with a bow, and a
// player with an equipped sword, 137 arrows and worn armour.
void build_busy_game(Game& g, unsigned seed = 7);
void build_full_game(Game& g);  // every count at its array size, all twelve slots filled
// build_full_game, with all four players carrying ten items and equipped.
void build_full_world(Game& g);
void reset_game(Game& g);       // releases every player's items and zeroes the record
std::vector<std::size_t> copies_of(const std::string& file, std::size_t record_offset);

template <typename T> void patch(std::string& file, std::size_t record_offset, const T& value)
{
    for (std::size_t at : copies_of(file, record_offset))
        std::memcpy(file.data() + at, &value, sizeof value);
}

}  // namespace save_test
