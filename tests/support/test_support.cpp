#include "support/test_support.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace test {

namespace {
long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool wait_readable(int fd, int ms)
{
    struct pollfd p { fd, POLLIN, 0 };
    return poll(&p, 1, ms) > 0;
}
}  // namespace

TempDir::TempDir()
{
    char tmpl[] = "/tmp/delve_test_XXXXXX";
    char* p = mkdtemp(tmpl);
    m_path = p ? p : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (m_path != "/tmp")
        std::filesystem::remove_all(m_path, ec);
}

ScopedChdir::ScopedChdir(const std::string& dir)
{
    char buf[4096];
    if (getcwd(buf, sizeof buf))
        m_old = buf;
    if (chdir(dir.c_str()) != 0)
        std::abort();
}

ScopedChdir::~ScopedChdir()
{
    if (!m_old.empty() && chdir(m_old.c_str()) != 0)
        std::abort();
}

SocketPair::SocketPair()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
        ours = fds[0];
        peer = fds[1];
    }
}

SocketPair::~SocketPair()
{
    if (ours >= 0)
        close(ours);
    close_peer();
}

void SocketPair::close_peer()
{
    if (peer >= 0)
        close(peer);
    peer = -1;
}

std::string read_available(int fd, int quiet_ms, int total_ms)
{
    std::string out;
    long long deadline = now_ms() + total_ms;
    char buf[65536];
    while (now_ms() < deadline) {
        int wait = static_cast<int>(std::min<long long>(quiet_ms, deadline - now_ms()));
        if (!wait_readable(fd, wait))
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string read_until(int fd, std::string_view needle, int total_ms)
{
    std::string out;
    long long deadline = now_ms() + total_ms;
    char buf[65536];
    while (out.find(needle) == std::string::npos) {
        long long left = deadline - now_ms();
        if (left <= 0 || !wait_readable(fd, static_cast<int>(left)))
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool write_text(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, std::string_view data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

Child::Child(const std::vector<std::string>& argv, const Options& options)
{
    // A child that ends before it reads its input (--version, say) must show
    // up as a failed write, not kill the test binary.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int in_pipe[2] = { -1, -1 };
    int out_pipe[2] = { -1, -1 };
    if (options.pty) {
        struct winsize ws {};
        ws.ws_row = 40;
        ws.ws_col = 120;
        m_pid = forkpty(&m_fd, nullptr, nullptr, &ws);
    } else {
        if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0)
            return;
        m_pid = fork();
    }
    if (m_pid == 0) {
        if (!options.pty) {
            dup2(in_pipe[0], 0);
            dup2(out_pipe[1], 1);
            dup2(out_pipe[1], 2);
            close(in_pipe[0]);
            close(in_pipe[1]);
            close(out_pipe[0]);
            close(out_pipe[1]);
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(127);
        for (const auto& e : options.env)
            putenv(const_cast<char*>(e.c_str()));
        execv(args[0], args.data());
        _exit(127);
    }
    if (!options.pty) {
        close(in_pipe[0]);
        close(out_pipe[1]);
        m_in = in_pipe[1];
        m_fd = out_pipe[0];
    } else {
        m_in = m_fd;
    }
}

Child::~Child()
{
    if (m_pid > 0 && m_status == -1)
        kill_now();
    if (m_in >= 0 && m_in != m_fd)
        close(m_in);
    if (m_fd >= 0)
        close(m_fd);
}

bool Child::send(std::string_view text) const { return write_text(m_in, text); }

void Child::close_input()
{
    if (m_in >= 0 && m_in != m_fd) {
        close(m_in);
        m_in = -1;
    }
}

int Child::wait_exit(int timeout_ms)
{
    if (m_status != -1)
        return m_status;
    long long deadline = now_ms() + timeout_ms;
    char buf[4096];
    while (now_ms() < deadline) {
        int st = 0;
        pid_t r = waitpid(m_pid, &st, WNOHANG);
        if (r == m_pid) {
            m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return m_status;
        }
        // Keep the terminal drained so the child never blocks on output.
        if (m_fd >= 0 && wait_readable(m_fd, 10)) {
            if (read(m_fd, buf, sizeof buf) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return -1;
}

void Child::kill_now()
{
    if (m_pid <= 0 || m_status != -1)
        return;
    ::kill(m_pid, SIGKILL);
    int st = 0;
    waitpid(m_pid, &st, 0);
    m_status = 137;
}

const char* program_path() { return DELVE_BINARY; }
const char* tuned_server_path() { return DELVE_TUNED_SERVER; }

}  // namespace test
