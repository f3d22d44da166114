// Daemon mode: which argument pairs detach, what the parent reports, the PID
// file, the detach failure exit, and the signal handler that ends a daemon.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/app.hpp"
#include "app/app_test_support.hpp"
#include "support/test_support.hpp"

namespace {

struct Detached {
    apptest::RunResult parent;
    pid_t daemon { -1 };
};

// Runs the program in cwd; the daemon it leaves behind is adopted by this
// process so that its exit status can be read.
Detached run_detached(const std::vector<std::string>& args, const std::string& config, const std::string& cwd)
{
    apptest::adopt_orphans();
    std::vector<std::string> argv = { test::program_path() };
    argv.insert(argv.end(), args.begin(), args.end());
    Detached d;
    d.parent = apptest::run_program(argv, { "RL_CONFIG_DIR=" + config, "HOME=" + config }, cwd);
    const std::string marker = "Daemon started with PID: ";
    auto at = d.parent.out.find(marker);
    if (at != std::string::npos)
        d.daemon = static_cast<pid_t>(std::atoi(d.parent.out.c_str() + at + marker.size()));
    return d;
}

// Ends a daemon that is still running; returns its exit status.
int finish(pid_t pid, int wait_ms)
{
    int status = apptest::wait_pid(pid, wait_ms);
    if (status == -1) {
        kill(pid, SIGKILL);
        apptest::wait_pid(pid, 5000);
    }
    return status;
}

std::string expected_parent_output(int port, pid_t pid)
{
    return "Listening on port " + std::to_string(port) + "\nDaemon started with PID: " + std::to_string(pid)
        + "\nPID file: ./rl_server.pid\n";
}

TEST(Daemon, EveryDaemonPairDetachesAndParentReportsConfiguredPort)
{
    // The port is taken, so the daemon's server gives up at once and the
    // daemon ends by itself, leaving its PID file behind.
    apptest::BusyPort busy;
    test::TempDir config;
    apptest::write_port_config(config.path(), busy.port());
    const std::vector<std::vector<std::string>> pairs = {
        { "-s", "-d" }, { "--server", "--daemon" }, { "-s", "--daemon" }, { "--server", "-d" },
        { "-d", "-s" }, { "--daemon", "--server" }, { "-d", "--server" }, { "-s", "-d", "extra" },
    };
    for (const auto& args : pairs) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        test::TempDir cwd;
        Detached d = run_detached(args, config.path(), cwd.path());
        EXPECT_EQ(d.parent.status, 0);
        ASSERT_GT(d.daemon, 0) << d.parent.out;
        EXPECT_EQ(d.parent.out, expected_parent_output(busy.port(), d.daemon));
        EXPECT_EQ(d.parent.err, "");
        EXPECT_EQ(finish(d.daemon, 10000), 0);
        EXPECT_EQ(test::read_file(cwd.file("rl_server.pid")), std::to_string(d.daemon) + "\n");
    }
}

TEST(Daemon, PidFileThatCannotBeCreatedIsADetachFailure)
{
    apptest::BusyPort busy;
    test::TempDir config, cwd;
    apptest::write_port_config(config.path(), busy.port());
    ASSERT_EQ(mkdir(cwd.file("rl_server.pid").c_str(), 0755), 0);
    Detached d = run_detached({ "-s", "-d" }, config.path(), cwd.path());
    EXPECT_EQ(d.parent.status, 0);
    ASSERT_GT(d.daemon, 0);
    EXPECT_EQ(finish(d.daemon, 10000), 1);
}

TEST(Daemon, RunningDaemonEndsOnSigtermAndRemovesItsPidFile)
{
    test::TempDir config, cwd;
    apptest::write_port_config(config.path(), apptest::free_port());
    Detached d = run_detached({ "-s", "-d" }, config.path(), cwd.path());
    ASSERT_GT(d.daemon, 0) << d.parent.out;
    std::string pid_file = cwd.file("rl_server.pid");
    for (int i = 0; i < 200 && !test::file_exists(pid_file); ++i)
        usleep(10000);
    int early = apptest::wait_pid(d.daemon, 300);
    if (early != -1)
        GTEST_SKIP() << "the server could not stay up (status " << early << ")";
    ASSERT_EQ(kill(d.daemon, SIGTERM), 0);
    EXPECT_EQ(finish(d.daemon, 5000), 0);
    EXPECT_FALSE(test::file_exists(pid_file));
}

TEST(Daemon, SignalHandlerRemovesPidFileAndExitsWithZero)
{
    for (int sig : { SIGTERM, SIGINT, SIGHUP }) {
        SCOPED_TRACE(sig);
        test::TempDir cwd;
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(cwd.path().c_str()) != 0)
                _exit(20);
            test::write_file(PID_FILE, "1\n");
            std::signal(sig, handle_daemon_signal);
            raise(sig);
            _exit(21);
        }
        ASSERT_GT(pid, 0);
        EXPECT_EQ(apptest::wait_pid(pid, 5000), 0);
        EXPECT_FALSE(test::file_exists(cwd.file("rl_server.pid")));
    }
}

}  // namespace
