// The terminal module: raw mode on a real pseudo-terminal, the restoring
// signal handlers, the output channel, and the descriptor helpers with the
// failures they must survive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <csignal>
#include <cstring>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "support/test_support.hpp"
#include "term/term.hpp"

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int exit_status(pid_t pid)
{
    int st = 0;
    if (waitpid(pid, &st, 0) != pid)
        return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool cooked(int fd)
{
    struct termios t {};
    return tcgetattr(fd, &t) == 0 && (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
}

// A pseudo-terminal whose slave becomes descriptor 0 of a forked child.
struct Pty {
    Pty() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
    ~Pty()
    {
        close(master);
        close(slave);
    }
    // Also the child's controlling terminal, so the interrupt key reaches it.
    // The alarm ends a child that a failed test would otherwise leave behind.
    void make_stdin_in_child() const
    {
        alarm(10);
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
    }
    int master { -1 };
    int slave { -1 };
};

TEST(Geometry, InBoundsAtTheEdgesOfTheMap)
{
    EXPECT_TRUE(in_bounds(0, 0) && in_bounds(59, 19));
    EXPECT_FALSE(in_bounds(-1, 0) || in_bounds(0, -1) || in_bounds(60, 0) || in_bounds(0, 20));
    EXPECT_FALSE(in_bounds(-2147483647 - 1, 5));
}

TEST(Geometry, DistanceIsEuclideanAndSymmetric)
{
    EXPECT_DOUBLE_EQ(distance(0, 0, 3, 4), 5.0);
    EXPECT_DOUBLE_EQ(distance(3, 4, 0, 0), 5.0);
    EXPECT_DOUBLE_EQ(distance(0, 0, 1, 1), std::sqrt(2.0));
}

TEST(RawMode, KeyIsReadableWithoutEnterAndNotEchoedThenRestored)
{
    Pty pty;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t pid = fork();
    if (pid == 0) {
        pty.make_stdin_in_child();
        enable_raw_mode();
        char ready = 'r';
        if (write(report[1], &ready, 1) != 1)
            _exit(10);
        int key = read_byte(0);
        restore_terminal();
        char got = static_cast<char>(key);
        _exit(write(report[1], &got, 1) == 1 ? 0 : 11);
    }
    close(report[1]);
    char c = 0;
    ASSERT_EQ(read(report[0], &c, 1), 1);
    EXPECT_FALSE(cooked(pty.slave));
    ASSERT_TRUE(test::write_text(pty.master, "k"));
    ASSERT_EQ(test::read_available(report[0], 2000, 3000), "k");
    EXPECT_EQ(exit_status(pid), 0);
    EXPECT_EQ(test::read_available(pty.master, 100, 300), "");  // no echo of the key
    EXPECT_TRUE(cooked(pty.slave));
    close(report[0]);
}

TEST(RawMode, InterruptsStayOnAndTheHandlersRestoreTheTerminal)
{
    for (int sig : { SIGINT, SIGTERM, SIGHUP }) {
        SCOPED_TRACE(sig);
        Pty pty;
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        pid_t pid = fork();
        if (pid == 0) {
            pty.make_stdin_in_child();
            install_terminal_restore_handlers();
            install_terminal_restore_handlers();
            enable_raw_mode();
            char ready = 'r';
            if (write(report[1], &ready, 1) != 1)
                _exit(10);
            for (;;)
                pause();
        }
        close(report[1]);
        char c = 0;
        ASSERT_EQ(read(report[0], &c, 1), 1);
        ASSERT_FALSE(cooked(pty.slave));
        if (sig == SIGINT)
            ASSERT_TRUE(test::write_text(pty.master, "\x03"));  // the interrupt key itself
        else
            kill(pid, sig);
        EXPECT_EQ(exit_status(pid), 128 + sig);
        EXPECT_TRUE(cooked(pty.slave));
        close(report[0]);
    }
}

TEST(RawMode, IgnoredSignalStaysIgnored)
{
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        std::signal(SIGHUP, SIG_IGN);
        install_terminal_restore_handlers();
        raise(SIGHUP);
        _exit(0);
    }
    EXPECT_EQ(exit_status(pid), 0);
}

// Output channel state is process-wide; each test puts it back.
class OutputChannel : public ::testing::Test {
protected:
    void TearDown() override
    {
        set_server_mode(0);
        set_output_fd(-1);
    }
};

// Runs f with descriptor 1 pointed at a pipe; returns what reached it.
template <typename F> std::string capture_stdout(F f)
{
    int p[2];
    if (pipe(p) != 0)
        return "<pipe failed>";
    int saved = dup(1);
    dup2(p[1], 1);
    close(p[1]);
    f();
    dup2(saved, 1);
    close(saved);
    std::string out = test::read_available(p[0], 50, 500);
    close(p[0]);
    return out;
}

TEST_F(OutputChannel, LocalClearGoesToStandardOutput)
{
    EXPECT_EQ(screen_fd(), 1);
    EXPECT_EQ(capture_stdout([] { clear_screen(); }), "\x1b[H\x1b[J");
}

TEST_F(OutputChannel, ServerClearGoesToTheClientNotStandardOutput)
{
    test::SocketPair client;
    set_server_mode(1);
    set_output_fd(client.ours);
    EXPECT_EQ(screen_fd(), client.ours);
    EXPECT_EQ(capture_stdout([] { clear_screen(); }), "");
    EXPECT_EQ(test::read_available(client.peer, 50, 500), "\x1b[H\x1b[J");

    // With no client chosen the clear goes nowhere, silently.
    set_output_fd(-1);
    EXPECT_EQ(capture_stdout([] { clear_screen(); }), "");
}

TEST(Descriptors, WriteAllToAClosedPeerFailsWithoutSigpipe)
{
    test::SocketPair pair;
    pair.close_peer();
    std::string big(1 << 20, 'x');
    EXPECT_FALSE(write_all(pair.ours, big));
    EXPECT_FALSE(write_all(pair.ours, "again"));
    EXPECT_FALSE(write_all(-1, "x"));
}

TEST(Descriptors, WriteAllDeliversLargeWritesWholeAcrossPartialWrites)
{
    test::SocketPair pair;
    std::string big(3 << 20, 'y');
    big[12345] = 'z';
    std::string got;
    std::thread reader([&] { got = test::read_available(pair.peer, 500, 10000); });
    EXPECT_TRUE(write_all(pair.ours, big));
    shutdown(pair.ours, SHUT_WR);
    reader.join();
    EXPECT_EQ(got, big);
}

class DialogueWait : public ::testing::Test {
protected:
    void TearDown() override { set_dialogue_wait_ms(-1); }
    test::SocketPair m_pair;
};

TEST_F(DialogueWait, ReadGivesUpAfterTheWaitAndReadsWhatIsThere)
{
    set_dialogue_wait_ms(150);
    auto start = Clock::now();
    EXPECT_EQ(read_dialogue_byte(m_pair.ours), -1);
    long long waited = ms_since(start);
    EXPECT_GE(waited, 140);
    EXPECT_LT(waited, 2000);

    ASSERT_TRUE(test::write_text(m_pair.peer, "3"));
    EXPECT_EQ(read_dialogue_byte(m_pair.ours), '3');
}

TEST_F(DialogueWait, DiscardLineStopsAfterTheLineFeed)
{
    ASSERT_TRUE(test::write_text(m_pair.peer, "abc\nrest"));
    discard_line(m_pair.ours);
    EXPECT_EQ(test::read_available(m_pair.ours, 50, 500), "rest");
}

TEST_F(DialogueWait, DiscardLineIsBoundedAgainstAPeerThatNeverEndsTheLine)
{
    set_dialogue_wait_ms(200);
    std::atomic<bool> stop { false };
    std::thread streamer([&] {
        for (int i = 0; i < 300 && !stop; ++i) {
            test::write_text(m_pair.peer, "x");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    auto start = Clock::now();
    discard_line(m_pair.ours);
    long long waited = ms_since(start);
    stop = true;
    streamer.join();
    EXPECT_GE(waited, 150);
    EXPECT_LT(waited, 1000);
}

}  // namespace
