// Shared test helpers: temporary directories, socket pairs, child processes on
// a pseudo-terminal or pipes, and reads with a deadline.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace test {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(std::string_view name) const { return m_path + "/" + std::string(name); }

private:
    std::string m_path;
};

// Changes the working directory for a scope.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

private:
    std::string m_old;
};

// Two connected stream sockets; both ends closed at the end unless released.
struct SocketPair {
    SocketPair();
    ~SocketPair();
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    void close_peer();
    int ours { -1 };
    int peer { -1 };
};

// Everything readable on fd until it stays quiet for quiet_ms or closes, at most total_ms.
std::string read_available(int fd, int quiet_ms = 200, int total_ms = 5000);

// Reads until the text appears or the deadline passes; returns all that was read.
std::string read_until(int fd, std::string_view needle, int total_ms = 5000);

bool write_text(int fd, std::string_view text);

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view data);
bool file_exists(const std::string& path);

// A child process of the program under test, on a pseudo-terminal (pty = true)
// or with pipes for standard input and output. Killed at the end if still running.
class Child {
public:
    struct Options {
        bool pty = true;
        std::vector<std::string> env;  // extra NAME=value entries
        std::string cwd;               // empty: the current directory
    };
    Child(const std::vector<std::string>& argv, const Options& options);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int fd() const { return m_fd; }  // the pty master, or the child's stdout pipe
    int input_fd() const { return m_in; }
    pid_t pid() const { return m_pid; }
    bool send(std::string_view text) const;
    void close_input();
    // Waits for the exit status; -1 on timeout (the child is then left running).
    int wait_exit(int timeout_ms = 5000);
    void kill_now();

private:
    pid_t m_pid { -1 };
    int m_fd { -1 };
    int m_in { -1 };
    int m_status { -1 };
};

// Path of the mzDELVE executable under test.
const char* program_path();

// Path of the same server with limits set from its command line.
const char* tuned_server_path();

}  // namespace test
