// What a record read from a file must satisfy before a game may use it. The
// save loader and the world snapshot loader share these, so that both trust
// the same things and nothing more.
#pragma once

#include <cstddef>
#include <cstring>

#include "world/game.hpp"

// Every count of the record inside its array. Blocks sized by the counts may
// be read only after this holds.
bool counts_in_range(const Game& g);

// The counts, and every value that would index, size or place something: a
// negative chat_count, stock_count outside 0..3, spell_count outside 0..5,
// follow_target or ally_controller outside -1..3, controlled_ally neither -1
// nor a used monster slot, a position off the map (players in play, living
// monsters, floor items not picked up, the shop, corpses, the stairs, a
// pending teleport), an unknown item kind, a text without its terminator.
// Every other number loads as it is: the rules saturate each update at the
// int32 limits. The item references inside the record are not looked at.
bool loaded_game_ok(const Game& g);

// A carried item: a kind the catalogue has, and terminated texts.
bool loaded_item_ok(const Item& item);

template <std::size_t N>
bool terminated(const char (&text)[N])
{
    return std::memchr(text, '\0', N) != nullptr;
}
