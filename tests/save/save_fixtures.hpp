// Games to save in the save tests, the fuzzer seeds and the benchmark, and
// helpers that edit a save file where the record and its repeated blocks lie.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "world/game.hpp"

namespace save_test {

// A level from a fixed seed with everything a save holds: monsters (one an
// ally), floor items (one picked up), the shop, corpses, a flying arrow, five
// chat lines, one other player, and a player carrying an equipped sword, a
// stack of 137 arrows and worn leather armour.
void build_busy_game(Game& g, unsigned seed = 7);

// Every count at its array size and all twelve item slots filled.
void build_full_game(Game& g);

// Releases the carried items of every player slot and zeroes the record.
void reset_game(Game& g);

// File offsets of every copy of the record byte at record_offset: the record
// itself and, where one repeats it, the block after the record.
std::vector<std::size_t> copies_of(const std::string& file, std::size_t record_offset);

// Writes the value over every copy of the record field at record_offset.
template <typename T>
void patch(std::string& file, std::size_t record_offset, const T& value)
{
    for (std::size_t at : copies_of(file, record_offset))
        std::memcpy(file.data() + at, &value, sizeof value);
}

}  // namespace save_test
