// The load tool's clients and server: connections that log in and join over
// loopback, a tuned_server in a scratch directory, and closed loops of keys
// timed from the key to the client's own answering frame.
#pragma once

#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "world/game.hpp"

namespace load {
using Clock = std::chrono::steady_clock;

constexpr std::string_view FRAME_END = "Input: \x1b[0m";
constexpr std::string_view GOODBYE = "Thank you for playing. Disconnecting.";

// A loopback connection to port, or -1. rcvbuf > 0 sets the receive buffer,
// before connecting, so that the window the server sees is that small.
int connect_to(int port, int rcvbuf = 0);

// True while the peer has neither closed nor reset the connection; looks
// only at what has already arrived.
bool still_open(int fd);

// One client connection and what it has received but not yet consumed.
struct Conn {
    int fd = -1;
    std::string buf;
    bool eof = false;
    // Which of the two keys of a closed loop comes next; kept across phases
    // so that the first key of a phase never expects the message already shown.
    int next_key = 0;

    explicit Conn(int socket_fd = -1) : fd(socket_fd) {}
    Conn(Conn&& o) noexcept;
    Conn& operator=(Conn&&) = delete;
    ~Conn() { close_now(); }

    bool send(std::string_view s) const;
    // Everything up to and including needle, or empty after timeout_ms or EOF.
    std::string until(std::string_view needle, int timeout_ms = 5000);
    // Appends what arrives within timeout_ms to buf; false on timeout or EOF.
    bool read_some(int timeout_ms);
    // Drops every frame that arrives until none has come for quiet_ms, for
    // two seconds at most.
    void drain(int quiet_ms = 100);
    // The next frame that contains text, or empty.
    std::string frame_with(std::string_view text);
    void close_now();
};

// Registers, logs in and names itself; the class menu is then on its way.
bool log_in(Conn& c, const std::string& user);
// Logs in, joins as a Fighter and reads the two frames every join sends.
bool join(Conn& c, const std::string& user);

// A tuned_server with its lock statistics, in a scratch directory of its own
// on a free loopback port; killed and its directory removed with this object.
class ServerProcess {
public:
    // config: more lines of its configuration file ("SAVES_KEPT=0\n").
    explicit ServerProcess(const std::string& program, const std::string& config = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool listening() const { return m_listening; }
    pid_t pid() const { return m_pid; }
    int port() const { return m_port; }
    // The web door's port; the door is always open.
    int web_port() const { return m_web_port; }
    // The server's working directory: saves go below it.
    const std::string& dir() const { return m_dir; }
    int open_fds() const;
    int threads() const;
    std::string peak_rss() const;
    // The server writes totals for both sections each time a client leaves.
    int lock_reports() const;
    // The latest totals of "command" or "broadcast", without "lock stats ".
    std::string lock_stats(const char* section) const;
    // Waits (up to two seconds) until the server has reported n leaves in all.
    void wait_for_reports(int n) const;

private:
    [[noreturn]] void exec_server(const std::string& program) const;
    void wait_until_listening();
    std::vector<std::string> stderr_lines(const std::string& prefix) const;

    int m_port;
    int m_web_port;
    std::string m_dir;
    pid_t m_pid { -1 };
    bool m_listening { false };
};

// A level of a fixed seed for a party of players Fighters without spells,
// player 0 where the level puts it and the others beside it, to be changed
// and then written with write_save.
std::unique_ptr<Game> party_level(int players);
// Writes game into the server's "saves" directory, over the last one written
// this way, so that 'L' (the newest save) finds exactly this one.
bool write_save(const ServerProcess& server, Game& game);
// Fills the server's "saves" directory with count empty files named as the
// server names its saves (a day of one save a second is 86,400), all older
// than anything write_save writes.
bool fill_saves(const ServerProcess& server, int count);

// A key of a closed loop and the message line that answers it.
struct Key {
    const char* key;
    const char* answer;
    // A world step may put a monster's message in place of the answer; then
    // the first frame that no longer shows the other key's answer counts.
    bool any_change = false;
};

// 'c' and 'a' are refusals for a Fighter (no turn, no world step); '5'
// waits a turn, so monsters, projectiles and effects run twice.
constexpr Key REFUSALS[2] = { { "c", "You know no spells." }, { "a", "Only Necromancers can command undead allies." } };
constexpr Key WAITING[2] = { { "5", "You wait a turn.", true }, { "c", "You know no spells." } };

struct Phase {
    std::vector<double> latencies_us;  // sorted
    long long commands = 0;
    double seconds = 0;
    int lost = 0;
    int closed = 0;  // of the lost ones, closed by the server
};

// How long a closed loop runs: until a time, or for a number of commands per client.
struct Budget {
    Clock::time_point stop = Clock::time_point::max();
    long commands = LONG_MAX;
};

// Every connection alternates the two keys, each waiting for its own answer
// before the next key; all connections at once, one thread each.
Phase run_closed_loop(std::vector<Conn>& conns, const Budget& budget, const Key (&keys)[2]);

// "p50=..us p99=..us max=..us lost=.. closed=.."
std::string latency_text(const Phase& p);
}  // namespace load
