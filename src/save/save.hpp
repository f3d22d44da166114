// Save files ("DLVS", version 1) and the save and load commands.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "world/game.hpp"

constexpr char SAVE_MAGIC[4] = { 'D', 'L', 'V', 'S' };
constexpr int SAVE_VERSION = 1;

// 0 on success, -1 when the file cannot be written.
int write_save_file(const char* path, Game& game, Player& p);

// 0 on success, -1 cannot open, -2 wrong magic or a damaged file, -3 wrong
// version. Anything but 0 leaves the game exactly as it was.
//
// What counts as damaged: a file shorter than its blocks, and any value that
// would index, size or place something: a count outside 0..its array, a
// negative chat_count, stock_count outside 0..3, spell_count outside 0..5,
// follow_target or ally_controller outside -1..3, controlled_ally neither -1
// nor a used monster slot, a position off the map (players in play, living
// monsters, floor items not picked up, the shop, corpses, the stairs, a
// pending teleport), an unknown item kind, a text without its terminator.
// Every other number (turn, level, gold, prices, hp, mana, quantities, timers)
// loads as it is, since the rules saturate each update at the int32 limits.
// Bytes after the last item slot are ignored.
int read_save_file(const char* path, Game& game, Player& p);

// read_save_file on the bytes of a whole file already in memory.
int read_save_data(std::span<const unsigned char> bytes, Game& game, Player& p);

void save_game(Game& game, Player& p);
void load_game(Game& game, Player& p);

// Writes the text at once over the message line of output_fd (server only).
void show_status_line(std::string_view text);
void set_status_message(std::string_view text, Player& p);
