#include "term/term.hpp"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <ctime>
#include <unistd.h>

namespace {
struct termios g_saved_termios {};
volatile sig_atomic_t g_have_saved_termios = 0;
int g_server_mode = 0;
int g_output_fd = -1;
int g_dialogue_wait_ms = -1;
ScreenRoute g_screen_route {};

void restore_and_reraise(int sig)
{
    if (g_have_saved_termios)
        tcsetattr(0, TCSANOW, &g_saved_termios);
    std::signal(sig, SIG_DFL);
    raise(sig);
}
}  // namespace

void enable_raw_mode()
{
    if (tcgetattr(0, &g_saved_termios) != 0)
        return;
    g_have_saved_termios = 1;
    struct termios raw = g_saved_termios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VMIN] = 1;
    tcsetattr(0, TCSANOW, &raw);
}

void restore_terminal()
{
    if (g_have_saved_termios)
        tcsetattr(0, TCSANOW, &g_saved_termios);
}

std::optional<TerminalSize> terminal_size(int fd)
{
    struct winsize ws {};
    if (ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0)
        return std::nullopt;
    return TerminalSize { ws.ws_col, ws.ws_row };
}

void enable_raw_mode_if_local()
{
    if (!g_server_mode)
        enable_raw_mode();
}

void restore_terminal_if_local()
{
    if (!g_server_mode)
        restore_terminal();
}

void install_terminal_restore_handlers()
{
    struct sigaction sa {};
    sa.sa_handler = restore_and_reraise;
    sigemptyset(&sa.sa_mask);
    for (int sig : { SIGINT, SIGTERM, SIGHUP }) {
        // A signal the caller chose to ignore (nohup, a shell's background
        // job) stays ignored: restoring the terminal must not make it fatal.
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
    }
}

int server_mode() { return g_server_mode; }
void set_server_mode(int on) { g_server_mode = on; }
int output_fd() { return g_output_fd; }
void set_output_fd(int fd) { g_output_fd = fd; }
int screen_fd() { return g_server_mode ? g_output_fd : 1; }

void set_screen_route(const ScreenRoute& route) { g_screen_route = route; }

void write_screen(std::string_view bytes)
{
    int fd = screen_fd();
    if (fd < 0)
        return;
    if (g_server_mode && g_screen_route.write)
        g_screen_route.write(fd, bytes);
    else
        write_all(fd, bytes);
}

void pause_screen(std::string_view screen, int ms)
{
    int fd = screen_fd();
    if (g_server_mode && g_screen_route.pause) {
        if (fd >= 0)
            g_screen_route.pause(fd, screen, ms);
        return;
    }
    if (fd >= 0)
        write_all(fd, screen);
    usleep(static_cast<useconds_t>(ms) * 1000);
}

void clear_screen() { write_screen("\x1b[H\x1b[J"); }

bool in_bounds(int x, int y)
{
    return static_cast<unsigned>(x) < 60u && static_cast<unsigned>(y) < 20u;
}

double distance(int x1, int y1, int x2, int y2)
{
    double dx = static_cast<double>(x1) - x2;
    double dy = static_cast<double>(y1) - y2;
    return std::sqrt(dx * dx + dy * dy);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

UniqueFd::~UniqueFd() { reset(); }

int UniqueFd::release()
{
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = fd;
}

bool write_all(int fd, std::string_view data)
{
    if (fd < 0)
        return false;
    bool use_send = true;
    while (!data.empty()) {
        ssize_t n = use_send ? send(fd, data.data(), data.size(), MSG_NOSIGNAL)
                             : write(fd, data.data(), data.size());
        if (n < 0 && use_send && errno == ENOTSOCK) {
            use_send = false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

ssize_t read_some(int fd, char* buf, std::size_t max)
{
    for (;;) {
        ssize_t n = read(fd, buf, max);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

int read_byte(int fd)
{
    unsigned char c = 0;
    return read_some(fd, reinterpret_cast<char*>(&c), 1) == 1 ? c : -1;
}

void set_dialogue_wait_ms(int ms) { g_dialogue_wait_ms = ms; }
int dialogue_wait_ms() { return g_dialogue_wait_ms; }

bool wait_readable(int fd, int wait_ms)
{
    if (wait_ms < 0)
        return true;
    struct pollfd pfd { fd, POLLIN, 0 };
    int r;
    do {
        r = poll(&pfd, 1, wait_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

namespace {
long long now_ms()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

int read_dialogue_byte(int fd)
{
    if (!wait_readable(fd, g_dialogue_wait_ms))
        return -1;
    return read_byte(fd);
}

void discard_line(int fd)
{
    // A bounded dialogue also bounds the rest of the line, so a peer that
    // streams bytes without a line feed cannot keep the dialogue open.
    long long deadline = g_dialogue_wait_ms >= 0 ? now_ms() + g_dialogue_wait_ms : -1;
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            long long left = deadline - now_ms();
            if (left <= 0)
                return;
            wait = static_cast<int>(left);
        }
        if (!wait_readable(fd, wait))
            return;
        int c = read_byte(fd);
        if (c < 0 || c == '\n')
            return;
    }
}
