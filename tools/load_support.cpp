#include "load_support.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "save/save.hpp"
#include "world/dungeon.hpp"

namespace load {
namespace {
using std::chrono::milliseconds;

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

bool step(Conn& c, std::string_view wait, const std::string& answer)
{
    return !c.until(wait).empty() && c.send(answer);
}

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

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())))];
}
}  // namespace

// Connections.

constexpr std::chrono::seconds DRAIN_LIMIT { 2 };

int connect_to(int port, int rcvbuf)
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

bool still_open(int fd)
{
    pollfd p { fd, POLLIN | POLLRDHUP, 0 };
    if (poll(&p, 1, 0) <= 0)
        return true;
    char c;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0 && recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

Conn::Conn(Conn&& o) noexcept
    : fd(std::exchange(o.fd, -1)), buf(std::move(o.buf)), eof(o.eof), next_key(o.next_key)
{
}

bool Conn::send(std::string_view s) const
{
    return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

// Scans only bytes not yet searched, so a frame arriving in many pieces costs
// the client one pass: the tool must not be what limits the figures.
std::string Conn::until(std::string_view needle, int timeout_ms)
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

// Tries first without waiting: most pieces of a frame are already there.
bool Conn::read_some(int timeout_ms)
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

void Conn::drain(int quiet_ms)
{
    // Another client that keeps acting never lets it fall quiet.
    for (auto give_up = Clock::now() + DRAIN_LIMIT; Clock::now() < give_up && !until(FRAME_END, quiet_ms).empty();) {
    }
}

std::string Conn::frame_with(std::string_view text)
{
    for (std::string f = until(FRAME_END); !f.empty(); f = until(FRAME_END))
        if (f.find(text) != std::string::npos)
            return f;
    return {};
}

void Conn::close_now()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool log_in(Conn& c, const std::string& user)
{
    return step(c, "Select: ", "r\n") && step(c, "Choose a username: ", user + "\n")
        && step(c, "Choose a password: ", "pw\n") && step(c, "Username: ", user + "\n")
        && step(c, "Password: ", "pw\n") && step(c, "Enter your chat username: ", user + "\n");
}

bool join(Conn& c, const std::string& user)
{
    return log_in(c, user) && step(c, "undead.", "1\n") && !c.until(FRAME_END).empty()
        && !c.until(FRAME_END).empty();
}

// The server process.

ServerProcess::ServerProcess(const std::string& program, const std::string& config)
    : m_port(free_port()), m_web_port(free_port())
{
    char tmpl[] = "/tmp/delve_load_XXXXXX";
    if (!mkdtemp(tmpl))
        return;
    m_dir = tmpl;
    std::ofstream(m_dir + "/mzdelve.cfg") << "PORT=" << m_port << "\nWEB_PORT=" << m_web_port << "\n" << config;
    m_pid = fork();
    if (m_pid == 0)
        exec_server(program);
    wait_until_listening();
}

ServerProcess::~ServerProcess()
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

int ServerProcess::open_fds() const { return count_dir("/proc/" + std::to_string(m_pid) + "/fd"); }
int ServerProcess::threads() const { return count_dir("/proc/" + std::to_string(m_pid) + "/task"); }

std::string ServerProcess::peak_rss() const
{
    constexpr std::string_view FIELD = "VmHWM:";
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(FIELD, 0) == 0)
            return line.substr(line.find_first_not_of(" \t", FIELD.size()));
    return "?";
}

int ServerProcess::lock_reports() const
{
    return static_cast<int>(stderr_lines("lock stats broadcast:").size());
}

std::string ServerProcess::lock_stats(const char* section) const
{
    auto lines = stderr_lines(std::string("lock stats ") + section + ":");
    return lines.empty() ? "none" : lines.back().substr(std::strlen("lock stats "));
}

void ServerProcess::wait_for_reports(int n) const
{
    for (int i = 0; i < 100 && lock_reports() < n; ++i)
        std::this_thread::sleep_for(milliseconds(20));
}

void ServerProcess::exec_server(const std::string& program) const
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

void ServerProcess::wait_until_listening()
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

std::vector<std::string> ServerProcess::stderr_lines(const std::string& prefix) const
{
    std::ifstream in(m_dir + "/stderr.txt");
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    return out;
}

// Saved levels.

std::unique_ptr<Game> party_level(int players)
{
    auto g = std::make_unique<Game>();
    std::srand(7);
    generate_level(*g);
    Player& leader = g->player;
    leader.player_class = CLASS_FIGHTER;
    leader.spell_count = 0;
    leader.hp = leader.max_hp = 100;
    g->other_count = std::clamp(players, 1, MAX_PLAYERS) - 1;
    for (int k = 0; k < g->other_count; ++k) {
        Player& other = g->others[k];
        other = leader;
        other.glyph = '&';
        other.x = std::clamp(leader.x + 2 * (k + 1), 1, MAP_WIDTH - 2);
    }
    return g;
}

bool write_save(const ServerProcess& server, Game& game)
{
    std::string dir = server.dir() + "/saves";
    mkdir(dir.c_str(), 0755);
    return write_save_file((dir + "/load.sav").c_str(), game, game.player) == 0;
}

bool fill_saves(const ServerProcess& server, int count)
{
    std::string dir = server.dir() + "/saves";
    mkdir(dir.c_str(), 0755);
    // A day ago, so that a save written now is the newest by a wide margin.
    std::time_t then = std::time(nullptr) - 86400;
    struct timespec times[2] = { { then, 0 }, { then, 0 } };
    for (int i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/save_20000101_%06d.sav", i);
        std::string path = dir + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && futimens(fd, times) == 0;
        if (fd >= 0)
            close(fd);
        if (!ok)
            return false;
    }
    return true;
}

// Closed loops.

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

std::string latency_text(const Phase& p)
{
    char text[160];
    std::snprintf(text, sizeof text, "p50=%.0fus p99=%.0fus max=%.0fus lost=%d closed=%d",
                  percentile(p.latencies_us, 0.50), percentile(p.latencies_us, 0.99),
                  p.latencies_us.empty() ? 0.0 : p.latencies_us.back(), p.lost, p.closed);
    return text;
}
}  // namespace load
