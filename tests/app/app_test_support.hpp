// Helpers for running the executable in tests: a run with separate output
// and error files, ports for the server paths, and adoption of daemons.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace apptest {

struct RunResult {
    int status { -1 };  // exit status, 128 + signal, or -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs the program with exactly the given environment (plus PATH), in cwd,
// with input as its standard input, and waits at most timeout_ms.
RunResult run_program(const std::vector<std::string>& args, const std::vector<std::string>& env,
    const std::string& cwd, std::string_view input = {}, int timeout_ms = 10000);

// A TCP port with a listener on all addresses, so a server cannot bind it.
class BusyPort {
public:
    BusyPort();
    ~BusyPort();
    BusyPort(const BusyPort&) = delete;
    BusyPort& operator=(const BusyPort&) = delete;
    int port() const { return m_port; }

private:
    int m_fd { -1 };
    int m_port { 0 };
};

// A port that was free a moment ago.
int free_port();

// Writes "PORT = <port>" as mzdelve.cfg into dir.
void write_port_config(const std::string& dir, int port);

// Makes this process the parent of orphaned descendants, so a daemon that
// detached from a child can still be waited for.
void adopt_orphans();

// Waits for an adopted process: its exit status, 128 + signal, or -1 on timeout.
int wait_pid(pid_t pid, int timeout_ms);

}  // namespace apptest
