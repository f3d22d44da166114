#include "app/app_test_support.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/test_support.hpp"

namespace apptest {

namespace {
long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int status_of(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

int bound_socket(int& port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

[[noreturn]] void exec_child(const std::vector<std::string>& args, const std::vector<std::string>& env,
    const std::string& cwd, const std::string& in, const std::string& out, const std::string& err)
{
    int in_fd = open(in.c_str(), O_RDONLY);
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0
        || dup2(err_fd, 2) < 0 || chdir(cwd.c_str()) != 0)
        _exit(127);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> full_env = env;
    full_env.emplace_back("PATH=/usr/bin:/bin");
    std::vector<char*> envp;
    for (const auto& e : full_env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}
}  // namespace

RunResult run_program(const std::vector<std::string>& args, const std::vector<std::string>& env,
    const std::string& cwd, std::string_view input, int timeout_ms)
{
    test::TempDir io;
    std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
    test::write_file(in, input);
    RunResult result;
    pid_t pid = fork();
    if (pid == 0)
        exec_child(args, env, cwd, in, out, err);
    if (pid < 0)
        return result;
    result.status = wait_pid(pid, timeout_ms);
    if (result.status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    result.out = test::read_file(out);
    result.err = test::read_file(err);
    return result;
}

BusyPort::BusyPort()
{
    m_fd = bound_socket(m_port);
    if (m_fd >= 0)
        listen(m_fd, 1);
}

BusyPort::~BusyPort()
{
    if (m_fd >= 0)
        close(m_fd);
}

int free_port()
{
    int port = 0;
    int fd = bound_socket(port);
    if (fd >= 0)
        close(fd);
    return port;
}

void write_port_config(const std::string& dir, int port)
{
    test::write_file(dir + "/mzdelve.cfg", "PORT = " + std::to_string(port) + "\n");
}

void adopt_orphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

int wait_pid(pid_t pid, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return status_of(st);
        if (r < 0 && errno != EINTR)
            return -1;
        if (now_ms() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace apptest
