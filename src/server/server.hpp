// The multi-player server: listener, one thread per client, the shared game.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

#include "term/term.hpp"

constexpr int MAX_CLIENTS = 4;

// Guards server_game(), the client tables and output_fd().
std::mutex& game_mutex();

struct ClientTables {
    int client_count;
    int client_fds[MAX_CLIENTS];
    char client_names[MAX_CLIENTS][64];
};
ClientTables& client_tables();

// The server's time and size limits. The defaults are the program's; tests
// and the load tool set others before run_server.
struct ServerLimits {
    // To log in, name oneself and choose a class.
    std::chrono::milliseconds prejoin { 120000 };
    // Connections still logging in: in all and from one peer address.
    int prejoin_total { 16 };
    int prejoin_per_address { 4 };
    // For the whole answer to the class menu or the shop's offer.
    std::chrono::milliseconds answer { 60000 };
    // Output that makes no progress for this long cuts a client off.
    std::chrono::milliseconds output_stall { 60000 };
    // How long a dead player may watch before the connection closes.
    std::chrono::milliseconds dead_wait { 10000 };
    // Failed logins from one address within this long make its later
    // logins wait; a quiet spell of this long forgets them.
    std::chrono::milliseconds login_window { 60000 };
    // How often world.dat is written while anyone is joined.
    std::chrono::milliseconds autosave { 60000 };
    // When set, these replace SEAT_HOLD and IDLE_LIMIT of the configuration,
    // which counts in whole seconds.
    std::optional<std::chrono::milliseconds> seat_hold;
    std::optional<std::chrono::milliseconds> idle_limit;
    // Report how long game_mutex is held, on standard error, as clients leave.
    bool lock_stats { false };
};
void set_server_limits(const ServerLimits& limits);

// The version the xlogfile's lines carry; the program sets it before run_server.
void set_program_version(std::string_view version);
const ServerLimits& server_limits();

// How the server ended: it could not start, a signal stopped it, or the
// listening socket failed after it had served. text is one line: the failure
// naming the port and the reason, or "signal SIGTERM".
struct ServerStop {
    enum class Cause { CannotStart, Signal, ListenerError };
    Cause cause;
    std::string text;
};

// The signals that stop the server; a daemon, which has no terminal to
// hang up, takes SIGHUP as a stop too.
enum class StopSignals { TermAndInterrupt, AlsoHangup };

// Another way in beside the game port (the web door): opened once the game
// port listens and the stop signals are taken from every thread, so that the
// door's threads leave them to the listener too; closed when the server
// stops. open returns empty, or the line saying why the door cannot open,
// in which case the server does not start.
struct SideDoor {
    std::string (*open)() = nullptr;
    void (*close)() = nullptr;
};

// Listens on server_port() at server_settings().bind (every address, IPv6
// and IPv4, when empty) and serves until one of the signals comes or
// accepting fails. Returns once the server has stopped.
ServerStop run_server(StopSignals signals = StopSignals::TermAndInterrupt, SideDoor door = {});

// How a connection reached the server. A browser's terminal sends each key
// as it is typed and shows only what it is sent, so the dialogues echo its
// typing and let Backspace edit it.
enum class Transport { Tcp, Browser };

// Serves a connection that another door accepted exactly as the listener
// serves its own: welcome, pre-join limits, dialogues, seat. fd is the
// server's end of a stream (one end of a socketpair); peer is the client's
// real address, counted by the per-address limit; peer_text names the
// client in the event log.
void serve_connection(UniqueFd fd, const sockaddr_storage& peer, std::string peer_text, Transport transport);

// What a public status page may show: no addresses and no account names.
struct SeatStatus {
    std::string name;  // the chat name
    int player_class;
    int level;
    int hp;
    int max_hp;
    const char* state;  // "playing", "dead" or "held" (the link is lost)
    long long idle_s;   // since the player's last command or chat line
    int watchers;       // connections watching this seat
};
// "Fighter", ...; empty for a player without a class.
const char* class_name(int player_class);
struct ServerStatus {
    std::vector<SeatStatus> seats;
    int logging_in;
    long long uptime_s;
};
ServerStatus server_status();

// How the program was started, kept so that a reload (SIGUSR2) starts it
// the same way: argv0 made absolute now, since the working directory may
// change, but with its links kept, so that an upgrade's new file is the
// one started; and the whole command line. In a program that a reload
// started, this also takes over the sockets it was handed.
void remember_invocation(const char* argv0, std::vector<std::string> args);
// True in a program that a reload started.
bool started_by_reload();

int join_server_game(int fd, const char* name);
void render_all_clients();
void remove_client(int slot);
