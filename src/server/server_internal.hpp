// Pieces shared by the listener, the client threads and the shared-world code
// of the server; nothing outside src/server uses them.
#pragma once

#include <chrono>

#include "term/term.hpp"

// Runs one connection from the welcome text to its end; closes the socket.
void client_thread(UniqueFd sock);

// The client slot whose socket is fd, or -1. Call with game_mutex held.
int find_client_slot(int fd);

// remove_client for whatever slot fd holds now: the slot is looked up under
// the same lock that removes it, so a concurrent leave cannot shift it away.
void remove_client_by_fd(int fd);

// Connections that have not joined yet. At most PREJOIN_LIMIT at once; each
// is cut off (its reads end) when it has not joined within the time limit.
constexpr int PREJOIN_LIMIT = 16;
bool prejoin_claim(int fd);
void prejoin_release(int fd);
void set_prejoin_time_limit(std::chrono::milliseconds limit);

// Lock statistics, kept only when DELVE_LOCK_STATS is set in the
// environment: how long one command, and one broadcast of frames, holds
// game_mutex. Record and report with game_mutex held.
enum class LockSection { Command, Broadcast };
void enable_lock_stats(bool on);
void record_lock_time(LockSection section, std::chrono::steady_clock::duration held);
// Writes one summary line per section to standard error.
void report_lock_stats();
