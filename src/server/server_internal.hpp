// Pieces shared by the listener, the client threads and the shared-world code
// of the server; nothing outside src/server uses them.
#pragma once

#include <chrono>
#include <netinet/in.h>
#include <string_view>

#include "term/term.hpp"

class ClientOutput;

// Runs one connection from the welcome text to its end; closes the socket.
void client_thread(UniqueFd sock);

// The client slot whose socket is fd, or -1. Call with game_mutex held.
int find_client_slot(int fd);

// Takes a slot for fd, places the player, gives it the class the key names
// (none for any other key), announces it and registers its output, all in
// one step under game_mutex. The slot, or -1 when the game is full.
int join_with_class(int fd, std::string_view name, int class_key, ClientOutput& output);

// The output of the client in slot, or none. Call with game_mutex held.
ClientOutput* client_output(int slot);

// render_all_clients for a caller that already holds game_mutex.
void broadcast_locked();

// remove_client for whatever slot fd holds now: the slot is looked up under
// the same lock that removes it, so a concurrent leave cannot shift it away.
void remove_client_by_fd(int fd);

// Where screen writers' bytes go while game_mutex is held: the output queue
// of the client being served.
void install_screen_route();

// Connections that have not joined yet, at most server_limits().prejoin_total
// at once and prejoin_per_address from one address; each is cut off (its
// reads end) when it has not joined within the time limit.
bool prejoin_claim(int fd, in_addr_t peer);
void prejoin_release(int fd);

// Lock statistics, kept only when server_limits().lock_stats is set: how
// long one command, and one broadcast of frames, holds game_mutex. Record and
// report with game_mutex held.
enum class LockSection { Command, Broadcast };
void record_lock_time(LockSection section, std::chrono::steady_clock::duration held);
// Writes one summary line per section to standard error.
void report_lock_stats();
