// The world snapshot (world.dat): the whole shared world of the server, so
// that a restart, an upgrade or a reload loses neither the dungeon nor a
// character. Unlike a save it holds every player's carried items and the seat
// table: which account owns which seat, and whether the seat is held.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#include "world/game.hpp"

constexpr char SNAPSHOT_MAGIC[4] = { 'D', 'L', 'V', 'W' };
// The newest layout this program writes. It reads every older one too.
constexpr int SNAPSHOT_VERSION = 1;
constexpr int SEAT_NAME_LEN = 64;

// One seat of the server as the snapshot keeps it; the live table is the
// server's. A seat is in use when account is not empty; seats in use come
// first, one per player slot.
struct SeatRecord {
    char account[SEAT_NAME_LEN];    // at most 63 bytes
    char chat_name[SEAT_NAME_LEN];  // at most 63 bytes
    std::int32_t held;              // 1: kept for the account, no connection
    std::int32_t hold_left;         // seconds the hold had left, when held
};

// weapon_ref and armor_ref: EQUIP_NONE, an inventory slot 0..9 whose item is
// also the equipped one, or EQUIP_OWN for a block of its own (as a loaded
// save leaves it), held in weapon or armor.
constexpr std::int32_t EQUIP_NONE = -1;
constexpr std::int32_t EQUIP_OWN = INVENTORY_SLOTS;

// What one player carries, as values.
struct CarriedRecord {
    std::int32_t present[INVENTORY_SLOTS];
    Item inventory[INVENTORY_SLOTS];
    std::int32_t weapon_ref;
    std::int32_t armor_ref;
    Item weapon;
    Item armor;
};

struct WorldSnapshot {
    Game game;  // its item references are all null: the items are in carried
    CarriedRecord carried[MAX_PLAYERS];
    SeatRecord seats[MAX_PLAYERS];
    std::int64_t saved_at;  // seconds since the epoch
};
static_assert(std::is_trivially_copyable_v<WorldSnapshot>);

// Copies the record and what each player in play carries into snap; the
// seats and saved_at are the caller's. Allocates nothing and takes a few
// microseconds: the part of a snapshot that runs under game_mutex.
void copy_world(const Game& game, WorldSnapshot& snap);

// The bytes of world.dat: a header (magic, version, saved_at), the record,
// the seats, the carried items, and a SHA-256 of all that as the last 32
// bytes. To be written off the lock with write_file_atomically(path, bytes, 0600).
std::string encode_snapshot(const WorldSnapshot& snap);

enum SnapshotResult : int {
    SNAPSHOT_OK = 0,
    SNAPSHOT_MISSING = -1,          // no file: a new world
    SNAPSHOT_UNREADABLE = -2,       // there, but not a regular file or a read failed
    SNAPSHOT_DAMAGED = -3,          // truncated, checksum wrong, or a value the checks refuse
    SNAPSHOT_FOREIGN = -4,          // not a snapshot at all
    SNAPSHOT_UNKNOWN_VERSION = -5,  // a snapshot from a newer program
};

// A short lower-case name of the result, for the event log.
const char* snapshot_result_name(SnapshotResult result);

// Decodes and checks a whole snapshot under the save loader's rules: nothing
// that indexes, sizes or places anything is trusted, and a seat name must be
// sanitized text. out is meaningful only for SNAPSHOT_OK.
SnapshotResult decode_snapshot(std::span<const unsigned char> bytes, WorldSnapshot& out);
SnapshotResult read_snapshot_file(const std::string& path, WorldSnapshot& out);

// Makes a decoded snapshot the game: releases what the game's players carry,
// copies the record and gives each player in play fresh blocks for its
// items. False, with the game as it was, when memory runs out.
bool restore_world(const WorldSnapshot& snap, Game& game);
