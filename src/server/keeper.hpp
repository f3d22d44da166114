// The world keeper: world.dat loaded at start, written after every descent,
// every so often while anyone plays, and when the server stops or reloads;
// and the reload itself, which re-executes the program with the listening
// socket and the players' sockets kept open. Internal to src/server.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "save/snapshot.hpp"

constexpr const char* WORLD_FILE = "world.dat";
// What a joined player is told when the server stops or cannot take its
// connection across a reload; the goodbye follows.
constexpr const char* KEPT_CHARACTER_TEXT = "\nServer restarting: your character is kept. Log in again to go on.\n"
                                            "Thank you for playing. Disconnecting.\n";

// Loads a sound world.dat as the shared world, with its seats held; sets a
// damaged, foreign or unknown one aside. Logs what it did. Before any client.
void load_world_at_start();

// The keeper's thread, which writes the snapshots that are wanted or due.
void start_world_keeper();
void stop_world_keeper();

// Asks the keeper for a snapshot soon; never waits. Safe under game_mutex.
void snapshot_wanted();

// One writer of world.dat at a time. Taken before game_mutex, never under it.
std::unique_lock<std::mutex> snapshot_writer_lock();

// The world and the seats as world.dat keeps them; game_mutex is held.
void take_snapshot_locked(WorldSnapshot& snap);

// How a snapshot went, for the log: ", world saved (3 seats)" or
// ", world not saved: <why>".
struct SnapshotOutcome {
    bool written;
    std::string summary;
};
// Encodes and writes snap; the writer lock is held, game_mutex is not.
SnapshotOutcome store_snapshot(const WorldSnapshot& snap);

// On the way out after a stop: the last snapshot, with every joined client
// told that its character is kept. The summary for the stop line. No
// snapshot is written after this one.
std::string keep_world_on_stop();

// ---- Reload ----

// The listening socket a reload passed on, or -1.
int inherited_listener();
// A thread for each player's socket a reload passed on, back on its seat.
void adopt_inherited_players();
// Writes the snapshot and re-executes the program in this process with the
// listening socket and the joined players' sockets. Returns only when that
// could not be done, with everybody served on as before.
void reload_program(int listener);
// Sends text to every connection still in its dialogue, without waiting;
// the listener's, which keeps their table.
void tell_prejoin(std::string_view text);
