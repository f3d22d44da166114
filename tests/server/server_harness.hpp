// A real server process on a free loopback port, test clients that read up to
// the end of a frame, and a small character grid that applies a frame's
// cursor moves so rows and columns can be read back.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "support/test_support.hpp"

namespace srv {

constexpr std::string_view FRAME_END = "Input: \x1b[0m";
constexpr std::string_view GOODBYE = "Thank you for playing. Disconnecting.\n";
constexpr std::string_view MENU = "\n--- gLOOMhOLD RogueLike ---\n\nL. Login\nR. Register\n\nSelect: ";
constexpr std::string_view NAME_PROMPT = "\nEnter your chat username: ";

int free_port();

// mzDELVE with the given arguments, its working directory and configuration
// in a fresh temporary directory; killed at the end.
class Server {
public:
    explicit Server(std::vector<std::string> env = {}, std::vector<std::string> args = { "-s" });
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    const test::TempDir& dir() const { return m_dir; }
    std::string stderr_text() const;
    // True once a connection succeeds (the probe is closed at once).
    bool wait_listening(int timeout_ms = 5000) const;
    // Exit status, or -1 when still running after timeout_ms.
    int wait_exit(int timeout_ms);
    int count_fds() const;
    int count_threads() const;

private:
    test::TempDir m_dir;
    int m_port;
    pid_t m_pid { -1 };
    int m_status { -1 };
};

class Client {
public:
    // rcvbuf > 0 shrinks the receive buffer, for a client that stops reading.
    explicit Client(int port, int rcvbuf = 0);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int fd() const { return m_fd; }
    bool connected() const { return m_fd >= 0; }
    bool send(std::string_view text) const;
    // Everything up to and including needle; the rest stays buffered. Empty
    // when the deadline passes or the peer closes first (see closed()).
    std::string read_until(std::string_view needle, int timeout_ms = 5000);
    std::string frame(int timeout_ms = 5000) { return read_until(FRAME_END, timeout_ms); }
    // Reads frames until one contains text; that frame, or empty.
    std::string frame_with(std::string_view text, int timeout_ms = 5000);
    // Whatever arrives within ms (buffered bytes included).
    std::string drain(int ms = 200);
    // True when the server closes the connection within timeout_ms.
    bool wait_closed(int timeout_ms = 5000);
    bool closed() const { return m_eof; }
    void close_now();

private:
    bool fill(int timeout_ms);
    int m_fd { -1 };
    std::string m_buf;
    bool m_eof { false };
};

// Registers (if asked) and logs in, answers the chat name and the class key;
// returns true once the client's first frame arrived.
bool join(Client& c, const std::string& user, const std::string& name, char class_key, bool do_register = true);

// The screen a frame leaves: 40 rows, 120 columns, 1-based.
class Screen {
public:
    explicit Screen(std::string_view frame);
    char at(int row, int col) const;
    std::string row(int r) const;
    // Map cell (x, y) is drawn at row y + 6, column x + 1.
    char map_at(int x, int y) const { return at(y + 6, x + 1); }
    // Every map cell showing glyph, as (x, y) pairs.
    std::vector<std::pair<int, int>> find_on_map(char glyph) const;
    bool contains(std::string_view text) const;

private:
    std::vector<std::string> m_rows;
};

}  // namespace srv
