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
int read_save_file(const char* path, Game& game, Player& p);

// read_save_file on the bytes of a whole file already in memory.
int read_save_data(std::span<const unsigned char> bytes, Game& game, Player& p);

void save_game(Game& game, Player& p);
void load_game(Game& game, Player& p);

// Writes the text at once over the message line of output_fd (server only).
void show_status_line(std::string_view text);
void set_status_message(std::string_view text, Player& p);
