// The terminal (raw mode and its restoration), the output channel that every
// screen writer uses, descriptor I/O helpers and the small geometry helpers.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <sys/types.h>

// Raw mode: no canonical input, no echo, one byte per read. Interrupts stay on.
void enable_raw_mode();
void restore_terminal();
void enable_raw_mode_if_local();
void restore_terminal_if_local();

// Installs SIGINT/SIGTERM/SIGHUP handlers that put the terminal back to the
// attributes saved by enable_raw_mode and then end the process as the signal
// would have. Safe to call more than once.
void install_terminal_restore_handlers();

// The size of the terminal on fd. Nothing when fd is not a terminal, or when
// the terminal does not report a size (some serial consoles say 0 x 0).
struct TerminalSize {
    int columns = 0;
    int rows = 0;
};
std::optional<TerminalSize> terminal_size(int fd);

// 1 while running as the multi-player server; screen writers then use output_fd.
int server_mode();
void set_server_mode(int on);

// The socket of the client being drawn to in server mode, -1 for none.
int output_fd();
void set_output_fd(int fd);

// Where screen output goes: output_fd in server mode, else descriptor 1.
int screen_fd();

// In server mode the screen of the client being served (output_fd) goes
// through the server's own queue for that client instead of a write, so that
// nobody holding the game lock waits on a socket.
struct ScreenRoute {
    void (*write)(int fd, std::string_view bytes) = nullptr;
    // Shows screen to fd and keeps it there for ms before the next frame.
    void (*pause)(int fd, std::string_view screen, int ms) = nullptr;
};
void set_screen_route(const ScreenRoute& route);

// Writes to screen_fd(): through the route in server mode, else directly.
void write_screen(std::string_view bytes);

// Shows a screen for ms milliseconds: through the route in server mode, else
// written and then slept on.
void pause_screen(std::string_view screen, int ms);

// Cursor home and erase, written to screen_fd().
void clear_screen();

// 1 when 0 <= x <= 59 and 0 <= y <= 19.
bool in_bounds(int x, int y);

// Euclidean distance between two cells, in double precision.
double distance(int x1, int y1, int x2, int y2);

// Owns one descriptor and closes it when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd { -1 };
};

// Writes everything, continuing partial writes and retrying interrupted ones.
// Sockets are written without raising SIGPIPE. False when the descriptor fails.
bool write_all(int fd, std::string_view data);

// One read of at most max bytes, retried when interrupted: >0 bytes, 0 end, -1 error.
ssize_t read_some(int fd, char* buf, std::size_t max);

// Reads one byte: 0..255, or -1 at end of input or on an error.
int read_byte(int fd);

// How long a dialogue that waits for one key (class choice, shop) may wait, in
// milliseconds; -1 waits forever. The server bounds it so that a silent client
// cannot hold the game lock.
void set_dialogue_wait_ms(int ms);
int dialogue_wait_ms();

// Waits until fd is readable (or at its end) or wait_ms have passed; -1
// waits forever. False when the time passed first or poll failed.
bool wait_readable(int fd, int wait_ms);

// read_byte that gives up after dialogue_wait_ms(): a timeout reads as end of input.
int read_dialogue_byte(int fd);

// Reads and drops bytes up to and including a line feed, or until input ends.
void discard_line(int fd);
