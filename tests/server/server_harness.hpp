// The real server on a free port, a client reading up to a frame's end, a grid applying a frame's cursor moves.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "support/test_support.hpp"

namespace srv {

constexpr std::string_view FRAME_END = "Input: \x1b[0m";
constexpr std::string_view GOODBYE = "Thank you for playing. Disconnecting.\r\n";
constexpr std::string_view MENU = "\r\n--- gLOOMhOLD RogueLike ---\r\n\r\nL. Login\r\nR. Register\r\n\r\nSelect: ";
constexpr std::string_view NAME_PROMPT = "\r\nEnter your chat username: ";
using Cell = std::pair<int, int>;
inline long long now_ms() { return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
inline sockaddr_in address(int port, in_addr_t host = INADDR_LOOPBACK)
{
    return { .sin_family = AF_INET, .sin_port = htons(static_cast<uint16_t>(port)), .sin_addr = { htonl(host) }, .sin_zero = {} };
}
// from: the local address to connect from, in host order (any of 127/8 reaches the server).
inline int connect_loopback(int port, int rcvbuf = 0, in_addr_t from = INADDR_ANY)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in local = address(0, from);
    if (from != INADDR_ANY && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return close(fd), -1;
    sockaddr_in a = address(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return close(fd), -1;
    return fd;
}
// A connection to the loopback address ::1, or -1 (also where the host has no IPv6).
inline int connect_ipv6(int port)
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return close(fd), -1;
    return fd;
}
inline int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = address(0);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return close(fd), ntohs(a.sin_port);
}
// Polls done() for up to five seconds.
inline bool wait_for(const std::function<bool()>& done)
{
    for (long long end = now_ms() + 5000; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (now_ms() > end)
            return false;
    return true;
}

// mzDELVE started in a fresh directory that also holds its configuration.
class Server {
public:
    // config: more lines of the configuration file ("BIND=127.0.0.1\n").
    explicit Server(std::vector<std::string> env = {}, std::vector<std::string> args = { "-s" }, int port = free_port(),
                    const char* program = test::program_path(), const std::string& config = {})
        : m_port(port)
    {
        test::write_file(m_dir.file("mzdelve.cfg"), "PORT=" + std::to_string(m_port) + "\n" + config);
        env.push_back("RL_CONFIG_DIR=" + m_dir.path());
        args.insert(args.begin(), program);
        m_args = std::move(args), m_env = std::move(env);
        start();
        // The web door opens just after the game port.
        std::size_t at = config.find("WEB_PORT=");
        int web = at == std::string::npos ? 0 : std::atoi(config.c_str() + at + 9);
        if (web > 0) {
            EXPECT_TRUE(wait_for([&] { return [](int fd) { return fd >= 0 && close(fd) == 0; }(connect_loopback(web)); }));
        }
    }
    ~Server()
    {
        // A server that died by itself or a sanitizer report fails the test.
        std::string err = test::read_available(m_child->fd(), 50, 500);
        EXPECT_TRUE(m_daemon || m_child->wait_exit(1) == -1) << "the server ended by itself";
        for (const char* bad : { "Sanitizer", "runtime error", "terminate called" })
            EXPECT_EQ(err.find(bad), std::string::npos) << err;
    }
    // The same server with limits from its command line ("--answer-ms", "500", ...).
    static std::unique_ptr<Server> tuned(std::vector<std::string> limits, const std::string& config = {})
    {
        return std::make_unique<Server>(std::vector<std::string> {}, std::move(limits), free_port(), test::tuned_server_path(), config);
    }
    // The same program again in the same directory, once the last one has ended.
    void start()
    {
        m_child = std::make_unique<test::Child>(m_args, test::Child::Options { .pty = false, .env = m_env, .cwd = m_dir.path() });
        m_daemon = false;
        EXPECT_TRUE(wait_listening());
    }
    pid_t pid() const { return m_child->pid(); }
    int port() const { return m_port; }
    std::string file(const std::string& name) const { return m_dir.file(name); }
    bool wait_listening() const { return wait_for([&] { return [](int fd) { return fd >= 0 && close(fd) == 0; }(connect_loopback(m_port)); }); }
    std::string output() const { return test::read_available(m_child->fd(), 300, 5000); }
    // Bytes of output nobody has read yet.
    int unread_output() const
    {
        int n = 0;
        return ioctl(m_child->fd(), FIONREAD, &n) == 0 ? n : -1;
    }
    // The status of the process started, which for a daemon is its parent.
    int wait_exit() { return m_daemon = true, m_child->wait_exit(5000); }
    // Sends sig and keeps what the server writes until it ends; its exit status.
    int stop(std::string& output, int sig = SIGTERM)
    {
        kill(m_child->pid(), sig);
        output = test::read_available(m_child->fd(), 3000, 10000);
        return wait_exit();
    }
    // Open descriptors ("fd") or threads ("task") of the server process.
    int count(const char* what) const
    {
        auto dir = std::filesystem::directory_iterator("/proc/" + std::to_string(m_child->pid()) + "/" + what);
        return static_cast<int>(std::distance(dir, {}));
    }

private:
    test::TempDir m_dir;
    std::vector<std::string> m_args, m_env;
    int m_port;
    bool m_daemon { false };
    std::unique_ptr<test::Child> m_child;
};

class Client {
public:
    // rcvbuf > 0 shrinks the receive buffer, for a client that stops reading.
    explicit Client(int port, int rcvbuf = 0, in_addr_t from = INADDR_ANY) : m_fd(connect_loopback(port, rcvbuf, from)) {}
    struct Ipv6 {};
    Client(int port, Ipv6) : m_fd(connect_ipv6(port)) {}
    bool connected() const { return m_fd >= 0; }
    ~Client() { close_now(); }
    void shut_write() const { shutdown(m_fd, SHUT_WR); }
    void close_now() { m_fd >= 0 && close(m_fd), m_fd = -1; }
    // A server that has closed the connection gives false, never SIGPIPE.
    bool send(std::string_view text) const
    {
        for (ssize_t n = 0; m_fd >= 0 && !text.empty(); text.remove_prefix(static_cast<std::size_t>(n)))
            if ((n = ::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL)) <= 0)
                return false;
        return m_fd >= 0;
    }
    // Up to and including needle, the rest stays buffered; empty on timeout or close.
    std::string read_until(std::string_view needle, int timeout_ms = 5000)
    {
        for (long long end = now_ms() + timeout_ms; m_buf.find(needle) == std::string::npos;)
            if (!fill(static_cast<int>(end - now_ms())))
                return {};
        std::string out = m_buf.substr(0, m_buf.find(needle) + needle.size());
        m_buf.erase(0, out.size());
        return out;
    }
    std::string frame(int timeout_ms = 5000) { return read_until(FRAME_END, timeout_ms); }
    // The first frame that contains text, or empty.
    std::string frame_with(std::string_view text)
    {
        std::string f;
        while (!(f = frame()).empty() && f.find(text) == std::string::npos) {}
        return f;
    }
    std::string drain(int ms = 200)
    {
        for (long long end = now_ms() + ms; now_ms() < end && fill(static_cast<int>(end - now_ms()));) {}
        return std::exchange(m_buf, {});
    }
    bool wait_closed(int timeout_ms = 5000) { return drain(timeout_ms), m_eof; }
    // Reads at most n bytes that have arrived, into the buffer; false at the end.
    bool read_some(std::size_t n)
    {
        std::string part(n, '\0');
        ssize_t got = recv(m_fd, part.data(), n, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            m_eof = true;  // closed, or reset with unread input
        if (got > 0)
            m_buf.append(part, 0, static_cast<std::size_t>(got));
        return !m_eof;
    }

private:
    bool fill(int timeout_ms)
    {
        pollfd p { m_fd, POLLIN, 0 };
        if (m_fd < 0 || m_eof || timeout_ms <= 0 || poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[65536];
        ssize_t n = read(m_fd, buf, sizeof buf);
        if (n <= 0)
            return m_eof = true, false;
        m_buf.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    int m_fd;
    std::string m_buf;
    bool m_eof { false };
};

// For each (text, reply): reads up to text (all that came, when exact), then replies.
inline bool talk(Client& c, const std::vector<std::pair<std::string, std::string>>& steps, bool exact = true)
{
    for (const auto& [text, reply] : steps) {
        std::string got = c.read_until(text);
        EXPECT_TRUE(!exact || got == text) << got;
        if (got.empty() || !c.send(reply))
            return false;
    }
    return true;
}

// Registers and logs in; answers nothing at the chat name prompt.
inline bool login(Client& c, const std::string& user)
{
    return talk(c, { { "Select: ", "r\n" }, { "Choose a username: ", user + "\n" }, { "Choose a password: ", "secret\n" },
                     { "Username: ", user + "\n" }, { "Password: ", "secret\n" }, { std::string(NAME_PROMPT), "" } }, false);
}

// Logs in, names and classes the player; true once its first frames arrived.
inline bool join(Client& c, const std::string& user, const std::string& name, char class_key)
{
    if (!login(c, user) || !c.send(name + "\n") || c.read_until("undead.\r\n").empty())
        return false;
    c.send(std::string(1, class_key) + "\n");
    return !c.frame().empty() && !c.frame().empty();  // a join redraws everybody twice
}

// The 40 x 120 screen a frame leaves; map cell (x, y) is at row y + 6, column x + 1.
struct Screen {
    explicit Screen(std::string_view f) : m_rows(41, std::string(121, ' '))
    {
        int row = 1, col = 1;
        for (std::size_t i = 0; i < f.size(); ++i) {
            if (f[i] == '\x1b' && i + 1 < f.size() && f[i + 1] == '[') {
                std::vector<int> p { 0 };
                for (i += 2; i < f.size() && (std::isdigit(static_cast<unsigned char>(f[i])) || f[i] == ';'); ++i)
                    f[i] == ';' ? p.push_back(0) : void(p.back() = p.back() * 10 + (f[i] - '0'));
                int n = std::max(p[0], 1);
                char op = i < f.size() ? f[i] : 0;
                if (op == 'H')
                    row = n, col = p.size() > 1 ? std::max(p[1], 1) : 1;
                else if (op == 'J')
                    std::fill(m_rows.begin(), m_rows.end(), std::string(121, ' '));
                else if (op == 'C' || op == 'D')
                    col = std::max(1, col + (op == 'C' ? n : -n));
            } else if (f[i] == '\n' || f[i] == '\r') {
                row += f[i] == '\n', col = 1;
            } else if (static_cast<unsigned char>(f[i]) >= 0x20) {
                if (row <= 40 && col <= 120)
                    m_rows[row][col] = f[i];
                ++col;
            }
        }
    }
    char map_at(int x, int y) const { return m_rows[y + 6][x + 1]; }  // also one cell beyond the map
    std::vector<Cell> find_on_map(char glyph) const
    {
        std::vector<Cell> out;
        for (int i = 0; i < 60 * 20; ++i)
            if (map_at(i % 60, i / 60) == glyph)
                out.emplace_back(i % 60, i / 60);
        return out;
    }
    bool contains(std::string_view text) const
    {
        return std::any_of(m_rows.begin(), m_rows.end(), [&](auto& r) { return r.find(text) != std::string::npos; });
    }
    std::vector<std::string> m_rows;
};

}  // namespace srv
