// The terminal module: raw mode and its restoring handlers on a real pty, and descriptor helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "support/test_support.hpp"
#include "term/term.hpp"

namespace {

using Clock = std::chrono::steady_clock;
auto ms_since(Clock::time_point t) { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count(); }

bool cooked(int fd)
{
    termios t {};
    return tcgetattr(fd, &t) == 0 && (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
}

// Forks a child whose controlling terminal and stdin is a fresh pty; it reports 'r' once in raw mode.
struct RawChild {
    int master = -1, slave = -1, report[2] = { -1, -1 };
    pid_t pid = -1;
    template <typename F> explicit RawChild(F after_raw)
    {
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(pipe(report), 0);
        if ((pid = fork()) == 0) {
            alarm(10), setsid(), ioctl(slave, TIOCSCTTY, 0), dup2(slave, 0);
            install_terminal_restore_handlers();
            install_terminal_restore_handlers();  // twice must still restore the first attributes
            enable_raw_mode();
            _exit(write(report[1], "r", 1) == 1 ? after_raw(report[1]) : 10);
        }
        close(report[1]);
        char c = 0;
        EXPECT_EQ(read(report[0], &c, 1), 1);
    }
    int status() const { int st = 0; waitpid(pid, &st, 0); return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }
    ~RawChild() { close(master), close(slave), close(report[0]); }
};

TEST(RawMode, KeyIsReadWithoutEnterAndNotEchoedThenRestored)
{
    RawChild child([](int out) {
        char key = static_cast<char>(read_byte(0));
        restore_terminal();
        return write(out, &key, 1) == 1 ? 0 : 11;
    });
    EXPECT_FALSE(cooked(child.slave));
    ASSERT_TRUE(test::write_text(child.master, "k"));
    EXPECT_EQ(test::read_available(child.report[0], 2000, 3000), "k");
    EXPECT_EQ(child.status(), 0);
    EXPECT_EQ(test::read_available(child.master, 100, 300), "");  // no echo
    EXPECT_TRUE(cooked(child.slave));
}

TEST(RawMode, InterruptKeyAndSignalsRestoreTheTerminalAndStillEndTheProcess)
{
    for (int sig : { SIGINT, SIGTERM, SIGHUP }) {
        SCOPED_TRACE(sig);
        RawChild child([](int) { for (;;) pause(); return 0; });  // NOLINT
        ASSERT_FALSE(cooked(child.slave));
        sig == SIGINT ? void(test::write_text(child.master, "\x03")) : void(kill(child.pid, sig));
        EXPECT_EQ(child.status(), 128 + sig);
        EXPECT_TRUE(cooked(child.slave));
    }
}

TEST(Descriptors, DialogueReadsAreBoundedByTheWaitAndWriteAllSurvivesAClosedPeer)
{
    test::SocketPair pair;
    set_dialogue_wait_ms(150);
    auto start = Clock::now();
    EXPECT_EQ(read_dialogue_byte(pair.ours), -1);
    EXPECT_GE(ms_since(start), 140);
    EXPECT_LT(ms_since(start), 2000);
    ASSERT_TRUE(test::write_text(pair.peer, "3abc\nrest"));
    EXPECT_EQ(read_dialogue_byte(pair.ours), '3');
    discard_line(pair.ours);
    EXPECT_EQ(test::read_available(pair.ours, 50, 500), "rest");

    // A peer that never ends the line cannot hold discard_line past the wait.
    std::atomic<bool> stop { false };
    std::thread streamer([&] {
        for (int i = 0; i < 300 && !stop; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            test::write_text(pair.peer, "x");
    });
    start = Clock::now();
    discard_line(pair.ours);
    EXPECT_GE(ms_since(start), 140);
    EXPECT_LT(ms_since(start), 1000);
    stop = true;
    streamer.join();
    set_dialogue_wait_ms(-1);
    pair.close_peer();  // SIGPIPE would end this process
    EXPECT_FALSE(write_all(pair.ours, std::string(1 << 20, 'x')));
    EXPECT_FALSE(write_all(pair.ours, "again"));
}

}  // namespace
