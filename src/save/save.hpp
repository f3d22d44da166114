// Save files ("DLVS", version 1) and the save and load commands.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "world/game.hpp"

constexpr char SAVE_MAGIC[4] = { 'D', 'L', 'V', 'S' };
constexpr int SAVE_VERSION = 1;

// 0 on success, -1 when the file cannot be written.
int write_save_file(const char* path, Game& game, Player& p);

// The bytes write_save_file would write, in out; false (and out empty) when
// the game cannot be saved as it is.
bool save_image(const Game& game, const Player& p, std::string& out);

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

// The 'S' and 'L' commands in one step each, for local play: every save is kept.
void save_game(Game& game, Player& p);
void load_game(Game& game, Player& p);

// The same commands in steps, so that a server does the file work without
// its game lock: what a save holds is copied (or a found save applied) with
// the lock held, the file written (or found and read) without it.
struct PreparedSave {
    std::string path;
    // Empty when the game cannot be saved as it is.
    std::string bytes;
};
// Shows "Saving game..." and copies what the file will hold.
PreparedSave prepare_save(Game& game, Player& p);
bool write_prepared_save(const PreparedSave& save);
// The outcome on p's message line.
void report_save(Player& p, const PreparedSave& save, bool written);

struct FoundSave {
    enum class Status { NoDirectory, NoFiles, Unreadable, Found };
    Status status = Status::NoFiles;
    std::string path;
    std::string bytes;
};
// The newest save in saves/ and its bytes ("Loading game..." is the caller's).
FoundSave find_newest_save();
// Loads it into the game for p and says how that went on p's message line
// (the record p lives in may be replaced). 0 when the game was replaced.
int apply_found_save(Game& game, Player& p, const FoundSave& found);
// What a failed load says, for a result of apply_found_save other than 0.
const char* load_failure_text(const FoundSave& found, int result);

// Removes all but the newest keep saves the program named itself
// (save_YYYYMMDD_hhmmss.sav); files of any other name stay. The paths removed.
std::vector<std::string> prune_saves(std::size_t keep);

// Writes the text at once over the message line of output_fd (server only).
void show_status_line(std::string_view text);
void set_status_message(std::string_view text, Player& p);
