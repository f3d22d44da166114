#include "server/server_harness.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace srv {

namespace {
long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int count_entries(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

int connect_loopback(int port, int rcvbuf = 0)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
}  // namespace

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

Server::Server(std::vector<std::string> env, std::vector<std::string> args) : m_port(free_port())
{
    test::write_file(m_dir.file("mzdelve.cfg"), "PORT=" + std::to_string(m_port) + "\n");
    env.push_back("RL_CONFIG_DIR=" + m_dir.path());
    std::vector<std::string> argv { test::program_path() };
    argv.insert(argv.end(), args.begin(), args.end());
    std::string err = m_dir.file("stderr.txt");
    m_pid = fork();
    if (m_pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_fd, 2);
        if (chdir(m_dir.path().c_str()) != 0)
            _exit(127);
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> a;
        for (auto& s : argv)
            a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
}

Server::~Server()
{
    // A server that died on its own, or a sanitizer report, fails the test
    // even when every client saw what it expected.
    int st = 0;
    if (m_pid > 0 && m_status == -1 && waitpid(m_pid, &st, WNOHANG) == m_pid) {
        m_status = 0;
        ADD_FAILURE() << "the server ended by itself; stderr:\n" << stderr_text();
    }
    std::string err = stderr_text();
    for (const char* bad : { "Sanitizer", "runtime error", "terminate called" })
        if (err.find(bad) != std::string::npos)
            ADD_FAILURE() << "server stderr:\n" << err;
    if (m_pid > 0 && m_status == -1) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

std::string Server::stderr_text() const { return test::read_file(m_dir.file("stderr.txt")); }

bool Server::wait_listening(int timeout_ms) const
{
    long long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
        int fd = connect_loopback(m_port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int Server::wait_exit(int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    while (m_status == -1 && now_ms() < deadline) {
        int st = 0;
        if (waitpid(m_pid, &st, WNOHANG) == m_pid)
            m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m_status;
}

int Server::count_fds() const { return count_entries("/proc/" + std::to_string(m_pid) + "/fd"); }
int Server::count_threads() const { return count_entries("/proc/" + std::to_string(m_pid) + "/task"); }

Client::Client(int port, int rcvbuf) : m_fd(connect_loopback(port, rcvbuf)) {}

Client::~Client() { close_now(); }

void Client::close_now()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

bool Client::send(std::string_view text) const { return m_fd >= 0 && test::write_text(m_fd, text); }

bool Client::fill(int timeout_ms)
{
    if (m_fd < 0 || m_eof)
        return false;
    struct pollfd p { m_fd, POLLIN, 0 };
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char buf[65536];
    ssize_t n = read(m_fd, buf, sizeof buf);
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_buf.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::string Client::read_until(std::string_view needle, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        std::size_t at = m_buf.find(needle);
        if (at != std::string::npos) {
            std::string out = m_buf.substr(0, at + needle.size());
            m_buf.erase(0, at + needle.size());
            return out;
        }
        long long left = deadline - now_ms();
        if (left <= 0 || (!fill(static_cast<int>(left)) && (m_eof || now_ms() >= deadline)))
            return {};
    }
}

std::string Client::frame_with(std::string_view text, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return {};
        std::string f = frame(static_cast<int>(left));
        if (f.empty())
            return {};
        if (f.find(text) != std::string::npos)
            return f;
    }
}

std::string Client::drain(int ms)
{
    long long deadline = now_ms() + ms;
    while (now_ms() < deadline)
        if (!fill(static_cast<int>(deadline - now_ms())))
            break;
    std::string out;
    out.swap(m_buf);
    return out;
}

bool Client::wait_closed(int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    while (!m_eof && now_ms() < deadline)
        fill(static_cast<int>(deadline - now_ms()));
    return m_eof;
}

bool join(Client& c, const std::string& user, const std::string& name, char class_key, bool do_register)
{
    if (c.read_until("Select: ").empty())
        return false;
    if (do_register) {
        c.send("r\n");
        if (c.read_until("Choose a username: ").empty())
            return false;
        c.send(user + "\n");
        c.read_until("Choose a password: ");
        c.send("secret\n");
    } else {
        c.send("l\n");
    }
    if (c.read_until("Username: ").empty())
        return false;
    c.send(user + "\n");
    c.read_until("Password: ");
    c.send("secret\n");
    if (c.read_until(NAME_PROMPT).empty())
        return false;
    c.send(name + "\n");
    if (c.read_until("undead.\n").empty())
        return false;
    c.send(std::string(1, class_key) + "\n");
    // A join redraws everybody twice.
    return !c.frame().empty() && !c.frame().empty();
}

Screen::Screen(std::string_view frame) : m_rows(41, std::string(121, ' '))
{
    int row = 1, col = 1;
    auto put = [&](char ch) {
        if (row >= 1 && row <= 40 && col >= 1 && col <= 120)
            m_rows[row][col] = ch;
        ++col;
    };
    for (std::size_t i = 0; i < frame.size(); ++i) {
        char ch = frame[i];
        if (ch == '\x1b' && i + 1 < frame.size() && frame[i + 1] == '[') {
            std::size_t j = i + 2;
            std::vector<int> params { 0 };
            while (j < frame.size() && ((frame[j] >= '0' && frame[j] <= '9') || frame[j] == ';')) {
                if (frame[j] == ';')
                    params.push_back(0);
                else
                    params.back() = params.back() * 10 + (frame[j] - '0');
                ++j;
            }
            if (j >= frame.size())
                break;
            char op = frame[j];
            int n = params[0] ? params[0] : 1;
            if (op == 'H') {
                row = params[0] ? params[0] : 1;
                col = params.size() > 1 && params[1] ? params[1] : 1;
            } else if (op == 'J') {
                for (auto& r : m_rows)
                    r.assign(121, ' ');
            } else if (op == 'C') {
                col += n;
            } else if (op == 'D') {
                col = std::max(1, col - n);
            }
            i = j;
        } else if (ch == '\n') {
            ++row;
            col = 1;
        } else if (ch == '\r') {
            col = 1;
        } else if (static_cast<unsigned char>(ch) >= 0x20) {
            put(ch);
        }
    }
}

char Screen::at(int r, int c) const
{
    if (r < 1 || r > 40 || c < 1 || c > 120)
        return ' ';
    return m_rows[r][c];
}

std::string Screen::row(int r) const { return (r >= 1 && r <= 40) ? m_rows[r].substr(1) : std::string(); }

std::vector<std::pair<int, int>> Screen::find_on_map(char glyph) const
{
    std::vector<std::pair<int, int>> out;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 60; ++x)
            if (map_at(x, y) == glyph)
                out.emplace_back(x, y);
    return out;
}

bool Screen::contains(std::string_view text) const
{
    for (const auto& r : m_rows)
        if (r.find(text) != std::string::npos)
            return true;
    return false;
}

}  // namespace srv
