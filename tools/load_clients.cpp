// Load tool for the server. Starts tuned_server (with its lock statistics) on
// a free loopback port and measures, with real clients over loopback:
//
// - phases: 1 to 4 joined clients (set-up not timed) in a closed loop (send
//   a key, wait for the own frame that answers it): commands per second and
//   key-to-frame latency, then the server's peak RSS;
// - churn: short and garbage connections, then a check that no descriptor or
//   thread is left behind and that the server still serves;
// - scenes, each on a fresh server: one fast client sends refusals in a
//   closed loop while one other client reads slowly, reads nothing, keeps
//   pressing '?', sits at the class menu or sits in the shop.
//
//   load_clients [<tuned_server> [seconds per phase [refuse|wait [commands per scene]]]]
#include <algorithm>
#include <cerrno>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "save/save.hpp"
#include "world/dungeon.hpp"
#include "world/game.hpp"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view FRAME_END = "Input: \x1b[0m";
constexpr std::string_view GOODBYE = "Thank you for playing. Disconnecting.";
constexpr const char* DEFAULT_SERVER = DELVE_TUNED_SERVER;
// The receive buffer of the slow and the stalled client; the kernel doubles it.
constexpr int SMALL_RCVBUF = 4096;

// Networking.

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// rcvbuf > 0 sets the receive buffer; it must be set before connecting to
// limit the window the server sees.
int connect_to(int port, int rcvbuf = 0)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// True while the peer has neither closed nor reset the connection; looks
// only at what is already there.
bool still_open(int fd)
{
    pollfd p { fd, POLLIN | POLLRDHUP, 0 };
    if (poll(&p, 1, 0) <= 0)
        return true;
    char c;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0 && recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

struct Conn {
    int fd = -1;
    std::string buf;
    bool eof = false;
    // Which of the two keys comes next; kept across phases so that the
    // first key of a phase never expects the message already shown.
    int next_key = 0;

    explicit Conn(int socket_fd = -1) : fd(socket_fd) {}
    Conn(Conn&& o) noexcept : fd(std::exchange(o.fd, -1)), buf(std::move(o.buf)), eof(o.eof), next_key(o.next_key) {}
    Conn& operator=(Conn&&) = delete;
    ~Conn() { close_now(); }

    bool send(std::string_view s) const
    {
        return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }
    // Everything up to and including needle, or empty after timeout_ms / EOF.
    // Scans only bytes not yet searched, so a frame arriving in many pieces
    // costs the client one pass: the tool must not be the bottleneck.
    std::string until(std::string_view needle, int timeout_ms = 5000)
    {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        std::size_t scanned = 0;
        for (;;) {
            auto at = buf.find(needle, scanned);
            if (at != std::string::npos) {
                std::string out = buf.substr(0, at + needle.size());
                buf.erase(0, at + needle.size());
                return out;
            }
            scanned = buf.size() >= needle.size() ? buf.size() - needle.size() + 1 : 0;
            auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !read_some(static_cast<int>(left)))
                return {};
        }
    }
    // Reads what arrives within timeout_ms; false on timeout or EOF. Tries
    // first without waiting: most pieces of a frame are already there.
    bool read_some(int timeout_ms)
    {
        char chunk[65536];
        ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p { fd, POLLIN, 0 };
            if (poll(&p, 1, timeout_ms) <= 0)
                return false;
            n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        }
        if (n > 0)
            buf.append(chunk, static_cast<std::size_t>(n));
        eof = eof || n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        return n > 0;
    }
    // Drops every frame that arrives until none has come for quiet_ms.
    void drain(int quiet_ms = 100)
    {
        while (!until(FRAME_END, quiet_ms).empty()) {
        }
    }
    std::string frame_with(std::string_view text)
    {
        for (std::string f = until(FRAME_END); !f.empty(); f = until(FRAME_END))
            if (f.find(text) != std::string::npos)
                return f;
        return {};
    }
    void close_now()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

bool step(Conn& c, std::string_view wait, const std::string& answer)
{
    return !c.until(wait).empty() && c.send(answer);
}

// Registers, logs in and names itself; the class menu is then on its way.
bool log_in(Conn& c, const std::string& user)
{
    return step(c, "Select: ", "r\n") && step(c, "Choose a username: ", user + "\n")
        && step(c, "Choose a password: ", "pw\n") && step(c, "Username: ", user + "\n")
        && step(c, "Password: ", "pw\n") && step(c, "Enter your chat username: ", user + "\n");
}

// Joins as a Fighter and reads the two frames every join sends.
bool join(Conn& c, const std::string& user)
{
    return log_in(c, user) && step(c, "undead.\n", "1\n") && !c.until(FRAME_END).empty()
        && !c.until(FRAME_END).empty();
}

// The server process.

int count_dir(const std::string& path)
{
    int n = 0;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A tuned_server with its lock statistics, in a scratch directory of its own
// on a free loopback port; killed and its directory removed with this object.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& program) : m_port(free_port())
    {
        char tmpl[] = "/tmp/delve_load_XXXXXX";
        if (!mkdtemp(tmpl))
            return;
        m_dir = tmpl;
        std::ofstream(m_dir + "/mzdelve.cfg") << "PORT=" << m_port << "\n";
        m_pid = fork();
        if (m_pid == 0)
            exec_server(program);
        wait_until_listening();
    }
    ~ServerProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (!m_dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_dir, ignored);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool listening() const { return m_listening; }
    int port() const { return m_port; }
    const std::string& dir() const { return m_dir; }
    std::string proc() const { return "/proc/" + std::to_string(m_pid); }

    std::string status_field(const char* field) const
    {
        std::ifstream in(proc() + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(field, 0) == 0)
                return line.substr(line.find_first_not_of(" \t", std::strlen(field)));
        return "?";
    }
    std::string peak_rss() const { return status_field("VmHWM:"); }

    // The server writes totals for both sections each time a client leaves.
    int lock_reports() const { return static_cast<int>(stderr_lines("lock stats broadcast:").size()); }
    std::string lock_stats(const char* section) const
    {
        auto lines = stderr_lines(std::string("lock stats ") + section + ":");
        return lines.empty() ? "none" : lines.back().substr(std::strlen("lock stats "));
    }
    // Waits until the server has reported n leaves in all.
    void wait_for_reports(int n) const
    {
        for (int i = 0; i < 100 && lock_reports() < n; ++i)
            std::this_thread::sleep_for(milliseconds(20));
    }

private:
    [[noreturn]] void exec_server(const std::string& program) const
    {
        int null_fd = open("/dev/null", O_RDWR);
        int err_fd = open((m_dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_fd, 2);
        if (chdir(m_dir.c_str()) != 0)
            _exit(127);
        setenv("RL_CONFIG_DIR", m_dir.c_str(), 1);
        execl(program.c_str(), program.c_str(), "--lock-stats", static_cast<char*>(nullptr));
        _exit(127);
    }
    void wait_until_listening()
    {
        for (int i = 0; i < 250 && m_pid > 0; ++i) {
            int fd = connect_to(m_port);
            if (fd >= 0) {
                close(fd);
                m_listening = true;
                return;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    std::vector<std::string> stderr_lines(const std::string& prefix) const
    {
        std::ifstream in(m_dir + "/stderr.txt");
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line);
        return out;
    }

    int m_port;
    std::string m_dir;
    pid_t m_pid { -1 };
    bool m_listening { false };
};

// Closed loops.

struct Key {
    const char* key;
    const char* answer;  // text of the acting player's own message line
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

bool await_answer(Conn& c, const Key& key, const Key& other)
{
    for (;;) {
        std::string f = c.until(FRAME_END);
        if (f.empty())
            return false;
        if (f.find(key.answer) != std::string::npos
            || (key.any_change && f.find(other.answer) == std::string::npos))
            return true;
    }
}

// Each client alternates two keys whose messages differ, so the first frame
// showing the new message is the one its own command produced. False when
// the connection was lost.
bool drive(Conn& c, const Budget& budget, const Key (&keys)[2], std::vector<double>& latencies)
{
    for (long n = 0; n < budget.commands && Clock::now() < budget.stop; ++n, c.next_key ^= 1) {
        auto t = Clock::now();
        if (!c.send(keys[c.next_key].key) || !await_answer(c, keys[c.next_key], keys[c.next_key ^ 1]))
            return false;
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    return true;
}

Phase run_closed_loop(std::vector<Conn>& conns, const Budget& budget, const Key (&keys)[2])
{
    Phase out;
    std::vector<std::vector<double>> lat(conns.size());
    std::atomic<int> lost { 0 };
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < conns.size(); ++i)
        threads.emplace_back([&, i] { lost += !drive(conns[i], budget, keys, lat[i]); });
    for (auto& t : threads)
        t.join();
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& v : lat)
        out.latencies_us.insert(out.latencies_us.end(), v.begin(), v.end());
    out.commands = static_cast<long long>(out.latencies_us.size());
    out.lost = lost;
    for (auto& c : conns)
        out.closed += c.eof;
    std::sort(out.latencies_us.begin(), out.latencies_us.end());
    // Frames of the last commands still in flight belong to nobody now.
    for (auto& c : conns)
        c.drain();
    return out;
}

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())))];
}

std::string latency_text(const Phase& p)
{
    char text[160];
    std::snprintf(text, sizeof text, "p50=%.0fus p99=%.0fus max=%.0fus lost=%d closed=%d",
                  percentile(p.latencies_us, 0.50), percentile(p.latencies_us, 0.99),
                  p.latencies_us.empty() ? 0.0 : p.latencies_us.back(), p.lost, p.closed);
    return text;
}

// Phases and churn, on one server.

bool run_phases(ServerProcess& server, std::vector<Conn>& conns, double seconds, const Key (&keys)[2])
{
    for (int n = 1; n <= 4; ++n) {
        conns.emplace_back(connect_to(server.port()));
        if (!join(conns.back(), "load" + std::to_string(n))) {
            std::fprintf(stderr, "client %d could not join\n", n);
            return false;
        }
        for (auto& c : conns)
            c.drain();
        Budget budget;
        budget.stop = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        Phase p = run_closed_loop(conns, budget, keys);
        std::printf("clients=%d commands=%lld rate=%.0f/s %s\n", n, p.commands,
                    static_cast<double>(p.commands) / p.seconds, latency_text(p).c_str());
        std::fflush(stdout);
    }
    return true;
}

void churn(int port, int cycles, int garbage_conns)
{
    for (int i = 0; i < cycles; ++i) {
        Conn c(connect_to(port));
        if (i % 2)
            c.until("Select: ", 2000);
    }
    std::string garbage(4096, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) % 256);
    for (int i = 0; i < garbage_conns; ++i) {
        Conn c(connect_to(port));
        c.send(garbage);
        c.until("\x01never", 20);
    }
}

// Short and garbage connections must leave no descriptor or thread behind,
// and the server must still serve its one remaining client and a newcomer.
bool check_churn(ServerProcess& server, Conn& remaining)
{
    int fds = count_dir(server.proc() + "/fd");
    int tasks = count_dir(server.proc() + "/task");
    auto t0 = Clock::now();
    churn(server.port(), 1000, 100);
    double churn_s = std::chrono::duration<double>(Clock::now() - t0).count();
    for (int i = 0; i < 100 && (count_dir(server.proc() + "/fd") != fds || count_dir(server.proc() + "/task") != tasks); ++i)
        std::this_thread::sleep_for(milliseconds(50));
    std::printf("churn: 1000 connect/disconnect + 100 garbage connections in %.1f s; fds %d -> %d, threads %d -> %d\n",
                churn_s, fds, count_dir(server.proc() + "/fd"), tasks, count_dir(server.proc() + "/task"));
    remaining.send("c");
    bool serving = !remaining.until("You know no spells.").empty();
    Conn late(connect_to(server.port()));
    serving = serving && join(late, "late");
    std::printf("still serving after churn: %s\n", serving ? "yes" : "NO");
    return serving;
}

bool phases_and_churn(const std::string& program, double seconds, bool wait_keys)
{
    ServerProcess server(program);
    if (!server.listening()) {
        std::fprintf(stderr, "%s did not start listening\n", program.c_str());
        return false;
    }
    std::printf("keys: %s, %.1f s per phase\n",
                wait_keys ? "'5'/'c' (world step on every other key)" : "'c'/'a' (refusals)", seconds);
    std::vector<Conn> conns;
    if (!run_phases(server, conns, seconds, wait_keys ? WAITING : REFUSALS))
        return false;
    std::printf("server peak RSS (VmHWM): %s\n", server.peak_rss().c_str());
    conns.resize(1);
    server.wait_for_reports(3);
    bool serving = check_churn(server, conns[0]);
    std::printf("server peak RSS after churn (VmHWM): %s\n", server.peak_rss().c_str());
    // Three clients left after the phases; the newcomer and the last client now.
    conns.clear();
    server.wait_for_reports(5);
    std::printf("server lock stats %s\nserver lock stats %s\n", server.lock_stats("command").c_str(),
                server.lock_stats("broadcast").c_str());
    return serving;
}

// Scenes: one fast client in a closed loop beside one other client.

// What the other client of a scene does while the fast client runs.
class Companion {
public:
    virtual ~Companion() = default;
    virtual const char* title() const = 0;
    // Connects before the fast client joins; false when it could not.
    virtual bool prepare(ServerProcess& server) = 0;
    // Runs once the fast client has joined, before its commands are timed.
    virtual bool after_fast_join() { return true; }
    virtual void start() {}
    // Stops, checks what the scene promises and says how that went.
    virtual std::string finish(Conn& fast) = 0;
};

// Reads at about RATE bytes per second in small pieces, as a client behind a
// slow link would, until asked to stop and nothing more has come for QUIET.
class PacedReader {
public:
    explicit PacedReader(int fd) : m_fd(fd) {}
    ~PacedReader() { stop(); }
    PacedReader(const PacedReader&) = delete;
    PacedReader& operator=(const PacedReader&) = delete;

    void start()
    {
        m_started = Clock::now();
        m_thread = std::thread([this] { run(); });
    }
    // Returns once everything the server sent was read (or after DRAIN_LIMIT).
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    // These are only looked at after stop().
    const std::string& received() const { return m_got; }
    bool eof() const { return m_eof; }
    double seconds() const { return std::chrono::duration<double>(m_ended - m_started).count(); }

private:
    static constexpr double RATE = 100e3;
    static constexpr std::size_t PIECE = 512;
    static constexpr milliseconds QUIET { 1000 };
    static constexpr milliseconds DRAIN_LIMIT { 20000 };

    bool done(Clock::time_point now, Clock::time_point last_data, Clock::time_point& give_up) const
    {
        if (!m_stop)
            return false;
        give_up = std::min(give_up, now + DRAIN_LIMIT);
        return now - last_data >= QUIET || now >= give_up;
    }
    void run()
    {
        auto next = Clock::now();
        auto last_data = next;
        auto give_up = Clock::time_point::max();
        char piece[PIECE];
        for (;;) {
            std::this_thread::sleep_until(next);
            if (done(Clock::now(), last_data, give_up))
                break;
            pollfd p { m_fd, POLLIN, 0 };
            if (poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = recv(m_fd, piece, sizeof piece, 0);
            if (n <= 0) {
                m_eof = true;
                break;
            }
            m_got.append(piece, static_cast<std::size_t>(n));
            last_data = Clock::now();
            next = std::max(next, last_data)
                + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(static_cast<double>(n) / RATE));
        }
        m_ended = Clock::now();
    }

    int m_fd;
    std::string m_got;
    std::atomic<bool> m_stop { false };
    bool m_eof { false };
    Clock::time_point m_started {}, m_ended {};
    std::thread m_thread;
};

// The last frame that arrived whole.
std::string last_whole_frame(const std::string& stream)
{
    auto end = stream.rfind(FRAME_END);
    if (end == std::string::npos)
        return {};
    auto start = end == 0 ? std::string::npos : stream.rfind(FRAME_END, end - 1);
    start = start == std::string::npos ? 0 : start + FRAME_END.size();
    return stream.substr(start, end + FRAME_END.size() - start);
}

const char* yes_no(bool b) { return b ? "yes" : "NO"; }

// A client on a slow link must never be cut off, and once it has read
// everything its screen must show the newest state: the fast client's last
// act is a chat line, which the slow client's last whole frame must show.
class SlowReader : public Companion {
public:
    const char* title() const override { return "a: other client reads ~100 KB/s, 4 KB receive buffer"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port(), SMALL_RCVBUF));
        return join(*m_conn, "slow");
    }
    void start() override
    {
        m_conn->drain();
        m_reader = std::make_unique<PacedReader>(m_conn->fd);
        m_reader->start();
    }
    std::string finish(Conn& fast) override
    {
        bool chatted = fast.send("/") && !fast.until("Enter message: ").empty() && fast.send(std::string(LAST_WORD) + "\n")
            && !fast.frame_with(LAST_WORD).empty();
        m_reader->stop();
        const std::string& got = m_reader->received();
        bool cut = got.find(GOODBYE) != std::string::npos || m_reader->eof() || !still_open(m_conn->fd);
        bool newest = last_whole_frame(got).find(LAST_WORD) != std::string::npos;
        char text[256];
        std::snprintf(text, sizeof text,
                      "slow client read %zu KB in %.1f s; cut off: %s; its last whole frame shows the fast client's "
                      "last chat line: %s",
                      got.size() / 1024, m_reader->seconds(), cut ? "YES" : "no", yes_no(chatted && newest));
        return text;
    }

private:
    static constexpr const char* LAST_WORD = "load done";
    std::unique_ptr<Conn> m_conn;
    std::unique_ptr<PacedReader> m_reader;
};

// A client that reads nothing holds frames on its own queue only; it is cut
// off after the server's stall limit (60 s by default, longer than a scene).
class Stalled : public Companion {
public:
    const char* title() const override { return "b: other client reads nothing, 4 KB receive buffer"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port(), SMALL_RCVBUF));
        return join(*m_conn, "stalled") && (m_conn->drain(), true);
    }
    std::string finish(Conn&) override
    {
        // Reading now lets the server send what it kept back; a cut-off
        // client finds the end of the stream after it instead.
        std::size_t waiting = 0;
        while (m_conn->read_some(300)) {
            waiting += m_conn->buf.size();
            m_conn->buf.clear();
        }
        char text[160];
        std::snprintf(text, sizeof text, "stalled client cut off during the scene: %s; %zu KB were waiting for it",
                      m_conn->eof ? "yes" : "no", waiting / 1024);
        return text;
    }

private:
    std::unique_ptr<Conn> m_conn;
};

// Each '?' shows the help screen and pauses that client's own frames.
class HelpPresser : public Companion {
public:
    const char* title() const override { return "c: other client presses '?' every 200 ms"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port()));
        return join(*m_conn, "helpless");
    }
    void start() override
    {
        m_thread = std::thread([this] { run(); });
        // Let a help pause be under way when the fast client starts.
        std::this_thread::sleep_for(LEAD);
        m_presses_at_start = m_presses;
    }
    std::string finish(Conn&) override
    {
        int during = m_presses - m_presses_at_start;
        m_stop = true;
        m_thread.join();
        char text[160];
        std::snprintf(text, sizeof text, "'?' pressed %d times in all, %d during the fast client's commands; lost: %s",
                      m_presses.load(), during, m_conn->eof ? "YES" : "no");
        return text;
    }

private:
    static constexpr milliseconds PERIOD { 200 };
    static constexpr milliseconds LEAD { 300 };
    void run()
    {
        auto next = Clock::now();
        while (!m_stop && !m_conn->eof) {
            if (Clock::now() >= next) {
                m_conn->send("?");
                ++m_presses;
                next += PERIOD;
            }
            auto left = std::chrono::ceil<milliseconds>(next - Clock::now()).count();
            m_conn->read_some(static_cast<int>(std::max<long long>(left, 0)));
            m_conn->buf.clear();
        }
    }
    std::unique_ptr<Conn> m_conn;
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::atomic<int> m_presses { 0 };
    int m_presses_at_start { 0 };
};

// The class menu is answered before a slot is taken: a client sitting at it
// is not in the game at all.
class AtClassMenu : public Companion {
public:
    const char* title() const override { return "d: other client sits at the class menu"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port()));
        return log_in(*m_conn, "undecided") && !m_conn->until("undead.\n").empty();
    }
    std::string finish(Conn&) override
    {
        return std::string("class menu client still waiting: ") + yes_no(still_open(m_conn->fd));
    }

private:
    std::unique_ptr<Conn> m_conn;
};

// The shop's offer waits for its answer without the game lock; that client's
// frames are held back meanwhile so that the offer stays on its screen.
class InShop : public Companion {
public:
    const char* title() const override { return "e: other client sits in the shop"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port()));
        // Joining first makes it player 0, the record the save puts on the shop.
        return write_shop_save(server.dir() + "/saves") && join(*m_conn, "shopper");
    }
    bool after_fast_join() override
    {
        // Loading replaces the world for both players.
        return m_conn->send("L") && !m_conn->frame_with("Game loaded").empty() && (m_conn->drain(), true)
            && m_conn->send("s") && !m_conn->until("or 0 to cancel: ").empty();
    }
    std::string finish(Conn&) override
    {
        while (m_conn->read_some(100)) {
        }
        bool held = m_conn->buf.find(FRAME_END) == std::string::npos && !m_conn->eof;
        return std::string("shop offer still open, that client's frames held back: ") + yes_no(held);
    }

private:
    // Player 0 stands on the shop; player 1, the fast client, at the start.
    static bool write_shop_save(const std::string& dir)
    {
        auto g = std::make_unique<Game>();
        std::srand(7);
        generate_level(*g);
        Player& p = g->player;
        p.player_class = CLASS_FIGHTER;
        p.spell_count = 0;
        p.hp = p.max_hp = 100;
        p.gold = 100;
        g->other_count = 1;
        g->others[0] = p;
        g->others[0].glyph = '&';
        p.x = g->stores[0].x;
        p.y = g->stores[0].y;
        mkdir(dir.c_str(), 0755);
        return write_save_file((dir + "/scene.sav").c_str(), *g, p) == 0;
    }
    std::unique_ptr<Conn> m_conn;
};

bool run_scene(const std::string& program, long commands, Companion& other)
{
    std::printf("scene %s\n", other.title());
    ServerProcess server(program);
    std::vector<Conn> fast;
    fast.emplace_back(-1);
    if (!server.listening() || !other.prepare(server) || (fast[0].fd = connect_to(server.port())) < 0
        || !join(fast[0], "fast") || !other.after_fast_join()) {
        std::printf("  could not set the scene up\n");
        return false;
    }
    fast[0].drain();
    other.start();
    Budget budget;
    budget.commands = commands;
    Phase p = run_closed_loop(fast, budget, REFUSALS);
    std::string note = other.finish(fast[0]);
    std::string rss = server.peak_rss();
    int reports = server.lock_reports();
    fast.clear();
    server.wait_for_reports(reports + 1);
    std::printf("  fast client: commands=%lld %s\n  %s\n  server lock stats %s; peak RSS %s\n", p.commands,
                latency_text(p).c_str(), note.c_str(), server.lock_stats("command").c_str(), rss.c_str());
    std::fflush(stdout);
    return p.lost == 0;
}

bool run_scenes(const std::string& program, long commands)
{
    SlowReader a;
    Stalled b;
    HelpPresser c;
    AtClassMenu d;
    InShop e;
    Companion* scenes[] = { &a, &b, &c, &d, &e };
    bool ok = true;
    for (Companion* scene : scenes)
        ok = run_scene(program, commands, *scene) && ok;
    return ok;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s [<tuned_server> [seconds per phase [refuse|wait [commands per scene]]]]\n",
                     argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Each server runs in a scratch directory, so a relative path must be resolved first.
    char program[PATH_MAX];
    const char* given = argc > 1 ? argv[1] : DEFAULT_SERVER;
    if (!realpath(given, program)) {
        std::perror(given);
        return 1;
    }
    double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    bool wait_keys = argc > 3 && std::string(argv[3]) == "wait";
    long commands = argc > 4 ? std::atol(argv[4]) : 500;
    bool ok = phases_and_churn(program, seconds, wait_keys);
    ok = run_scenes(program, commands) && ok;
    return ok ? 0 : 1;
}
