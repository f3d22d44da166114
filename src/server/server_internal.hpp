// Pieces shared by the listener, the client threads and the shared-world code
// of the server; nothing outside src/server uses them.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <string_view>

#include "server/server.hpp"
#include "term/term.hpp"

class ClientOutput;

// Runs one connection from the welcome text to its end; closes the socket.
// peer names the client in the event log.
void client_thread(UniqueFd sock, std::string peer, Transport transport);

// What every connection needs before its thread starts, done once for the
// process: the screen route, ignored SIGPIPE, the pre-join watchdog.
void prepare_server();
std::chrono::steady_clock::time_point server_started();

// A command or chat line of the client in slot; game_mutex is held.
void note_input_locked(int slot);

// The client slot whose socket is fd, or -1. Call with game_mutex held.
int find_client_slot(int fd);

// Takes a slot for fd, places the player, gives it the class the key names
// (none for any other key), announces it and registers its output, all in
// one step under game_mutex. The slot, or -1 when the game is full.
int join_with_class(int fd, std::string_view name, int class_key, std::shared_ptr<ClientOutput> output);

// The writers that frames were queued for, woken when this goes out of
// scope. Declared before the guard of game_mutex, it goes after the guard,
// so no woken writer preempts the holder of the lock. It shares ownership of
// the outputs, so that a client leaving meanwhile cannot take one away.
class FrameWakes {
public:
    FrameWakes() = default;
    ~FrameWakes();
    FrameWakes(const FrameWakes&) = delete;
    FrameWakes& operator=(const FrameWakes&) = delete;
    void add(std::shared_ptr<ClientOutput> output);

private:
    std::array<std::shared_ptr<ClientOutput>, MAX_CLIENTS> m_outputs;
    std::size_t m_count { 0 };
};

// render_all_clients for a caller that already holds game_mutex.
void broadcast_locked(FrameWakes& wakes);

// remove_client for whatever slot fd holds now: the slot is looked up under
// the same lock that removes it, so a concurrent leave cannot shift it away.
// The slot it held, or -1.
int remove_client_by_fd(int fd);

// Where screen writers' bytes go while game_mutex is held: the output queue
// of the client being served.
void install_screen_route();

// Connections that have not joined yet, at most server_limits().prejoin_total
// at once and prejoin_per_address from one address; each is cut off (its
// reads end) when it has not joined within the time limit.
enum class PreJoin { Claimed, Full, AddressFull };
PreJoin prejoin_claim(int fd, const struct sockaddr_in& peer);
void prejoin_release(int fd);
int prejoin_count();

// Lock statistics, kept only when server_limits().lock_stats is set: how
// long one command, and one broadcast of frames, holds game_mutex. Record and
// report with game_mutex held.
enum class LockSection { Command, Broadcast };
void record_lock_time(LockSection section, std::chrono::steady_clock::duration held);
// Writes one summary line per section to standard error.
void report_lock_stats();
