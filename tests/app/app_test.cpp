// The executable as a child process: help, option matrix, menu on plain input and on a pty, daemon.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "app/version.hpp"
#include "support/test_support.hpp"

namespace {

const std::string PROMPT = "Enter choice: ";

struct Result { int status = -1; std::string out; };  // output and errors together

int count(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

int wait_pid(pid_t pid, int ms)
{
    for (int i = 0, st = 0; i < ms / 5; ++i, usleep(5000))
        if (waitpid(pid, &st, WNOHANG) == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return -1;
}

Result run(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& cwd,
    const std::string& input = {})
{
    args.insert(args.begin(), test::program_path());
    test::Child c(args, { false, env, cwd });
    c.send(input);
    c.close_input();
    std::string out = test::read_until(c.fd(), "\x01", 10000);  // to end of output
    return { c.wait_exit(10000), out };
}

// A port with a listener, so no run can serve on a real port.
struct BusyPort {
    int fd = socket(AF_INET, SOCK_STREAM, 0), port = 0;
    BusyPort()
    {
        sockaddr_in a { AF_INET, 0, {}, {} };
        socklen_t len = sizeof a;
        auto* sa = reinterpret_cast<sockaddr*>(&a);
        EXPECT_TRUE(bind(fd, sa, len) == 0 && listen(fd, 1) == 0 && getsockname(fd, sa, &len) == 0);
        port = ntohs(a.sin_port);
    }
    ~BusyPort() { close(fd); }
};

class App : public ::testing::Test {
public:
    void SetUp() override
    {
        unsetenv("RL_CONFIG_DIR");
        test::write_file(cfg.file("mzdelve.cfg"), "PORT = " + std::to_string(busy.port) + "\n");
    }
    std::vector<std::string> env() const { return { "RL_CONFIG_DIR=" + cfg.path(), "HOME=" + home.path() }; }
    Result run_in(const std::vector<std::string>& args, const std::string& in = {}) const { return run(args, env(), cwd.path(), in); }
    BusyPort busy;
    test::TempDir cfg, home, cwd;
};

TEST_F(App, HelpIsExactAndCreatesTheDefaultFileOnlyUnderHome)
{
    const std::string help = "--- Command Line Help ---\n./mzDELVE -r or --register == registration mode\n"
                             " /mzDELVE -l or --login == login\n./mzDELVE -s or --server == multi player server\n"
                             "./mzDELVE -s -d or --server --daemon ==  daemon server mode\n";
    for (const char* flag : { "-h", "--help" }) {
        Result r = run({ flag, "ignored" }, { "HOME=" + home.path() }, cwd.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, help);
    }
    EXPECT_EQ(count(test::read_file(home.file(".mzdelve/mzdelve.cfg")), "PORT = 1337\n"), 1);
    test::TempDir home2;
    EXPECT_EQ(run({ "-h" }, { "RL_CONFIG_DIR=" + home2.path(), "HOME=" + home2.path() }, cwd.path()).out, help);
    EXPECT_TRUE(std::filesystem::is_empty(home2.path()));
}

TEST_F(App, VersionPrintsNameAndVersionAndExitsZeroInsteadOfOpeningTheMenu)
{
    Result r = run_in({ "--version" }, "1\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("mzDELVE ") + PROGRAM_VERSION + "\n");
    EXPECT_NE(std::string_view(PROGRAM_VERSION).find('.'), std::string_view::npos);
}

TEST_F(App, OptionMatrix)
{
    // A server option first starts a foreground server; failing to listen is one line and status 1.
    for (std::vector<std::string> args : { std::vector<std::string> { "-s" }, { "--server", "-x", "-d" }, { "-s", "-s" } }) {
        SCOPED_TRACE(testing::PrintToString(args));
        Result r = run_in(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(count(r.out, "\n"), 1) << r.out;
        EXPECT_EQ(r.out.back(), '\n');
    }
    const std::string menu = "\x1b[94m--- gLOOMhOLD DUNGEON ---\n\n1. Play Game (Local)\n2. Server Mode (Listen on Port "
        + std::to_string(busy.port) + ")\n3. Register New User\n4. Login and Play (Local)\n5. Quit\n\nEnter choice: ";
    for (std::vector<std::string> args : { std::vector<std::string> {}, { "-d" }, { "-x", "-d" }, { "-x", "-s" },
             { "-sd" }, { "--serve" }, { "-H" }, { "" } }) {
        SCOPED_TRACE(testing::PrintToString(args));
        Result r = run_in(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("\x1b[H\x1b[J", 0), 0u);
        EXPECT_EQ(count(r.out, menu), 1);
    }
}

TEST_F(App, MenuReadsAChoiceLineAndQuitsZeroAtEndOfInput)
{
    // Output that is not a terminal has no size to check: the game starts.
    Result game = run_in({}, "1\n");
    EXPECT_NE(game.out.find("Choose your class:"), std::string::npos) << game.out;
    EXPECT_EQ(game.out.find("needs a terminal"), std::string::npos);

    struct Case { std::string input; int invalid, prompts; };
    for (const Case& c : { Case { "", 0, 1 }, { "x\n", 1, 2 }, { "x", 1, 2 }, { "xyz\n\n5junk\n", 1, 2 },
             { "\n\n\n5\n", 1, 2 }, { "x\n\nx\n\n5\n", 2, 3 }, { "2\n\n5\n", 0, 2 } }) {
        SCOPED_TRACE(c.input);
        Result r = run_in({}, c.input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count(r.out, "Invalid option.\nPress Enter to continue/* ... */"), c.invalid);
        EXPECT_EQ(count(r.out, "\n" + PROMPT), c.prompts);
        if (auto press = r.out.find("\nPress Enter"); c.input[0] == '2') {  // the server's one line
            ASSERT_NE(press, std::string::npos) << r.out;
            EXPECT_GT(press, r.out.rfind('\n', press - 1) + 1);
        }
    }
}

// The program on a pty; the slave stays open here so its attributes can be read after exit.
class MenuOnPty : public App {
protected:
    void SetUp() override
    {
        App::SetUp();
        child = std::make_unique<test::Child>(std::vector<std::string> { test::program_path() },
            test::Child::Options { true, { env()[0], env()[1], "TERM=xterm" }, cwd.path() });
        slave = open(ptsname(child->fd()), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
    }
    void TearDown() override { child.reset(), close(slave); }
    bool cooked() const { termios t {}; return tcgetattr(slave, &t) == 0 && (t.c_lflag & ICANON) && (t.c_lflag & ECHO); }
    bool shows(std::string text, int ms = 5000)  // the pty turns each LF into CR LF
    {
        for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
            text.insert(at, "\r");
        return test::read_until(child->fd(), text, ms).find(text) != std::string::npos;
    }
    std::unique_ptr<test::Child> child;
    int slave = -1;
};

TEST_F(MenuOnPty, EnterConfirmsAChoiceAndQuitRestoresTheTerminal)
{
    ASSERT_TRUE(shows(PROMPT));
    EXPECT_FALSE(cooked());
    child->send("\n");
    EXPECT_FALSE(shows("Invalid option.", 300));
    child->send("\n");
    ASSERT_TRUE(shows("Invalid option.\nPress Enter to continue/* ... */"));
    child->send("\n");
    ASSERT_TRUE(shows(PROMPT));
    child->send("5\n");
    EXPECT_EQ(child->wait_exit(), 0);
    EXPECT_TRUE(cooked());
}

TEST_F(MenuOnPty, SignalsRestoreTheTerminalAtTheMenuAndInAGame)
{
    ASSERT_TRUE(shows(PROMPT));
    child->send("12\n");  // the extra character is dropped
    ASSERT_TRUE(shows("Choose your class:"));
    child->send("1\n");
    usleep(300000);
    child->send("\x03");
    EXPECT_EQ(child->wait_exit(), 128 + SIGINT);
    EXPECT_TRUE(cooked());
    TearDown(), SetUp();
    ASSERT_TRUE(shows(PROMPT));
    kill(child->pid(), SIGTERM);
    EXPECT_EQ(child->wait_exit(), 128 + SIGTERM);
    EXPECT_TRUE(cooked());
}

TEST_F(MenuOnPty, AGameWaitsForATerminalOf99By35AndQGoesBackToTheMenu)
{
    auto resize = [this](unsigned short cols, unsigned short rows) {
        winsize ws {};
        ws.ws_col = cols, ws.ws_row = rows;
        ASSERT_EQ(ioctl(child->fd(), TIOCSWINSZ, &ws), 0);
    };
    const std::string needs = "The game needs a terminal of at least 99 x 35 (columns x rows);\nthis one is ";
    ASSERT_TRUE(shows(PROMPT));
    resize(80, 24);
    child->send("1\n");
    ASSERT_TRUE(shows(needs + "80 x 24. Resize it and press Enter, or q to go back to the menu.\n"));
    resize(98, 35);  // one column short still waits
    child->send("x\n");
    ASSERT_TRUE(shows(needs + "98 x 35."));
    child->send("q");
    ASSERT_TRUE(shows(PROMPT));
    child->send("1\n");
    ASSERT_TRUE(shows(needs + "98 x 35."));
    resize(99, 35);
    child->send("\n");
    ASSERT_TRUE(shows("Choose your class:"));
    // Exactly big enough needs no wait at all.
    TearDown(), SetUp();
    ASSERT_TRUE(shows(PROMPT));
    resize(99, 35);
    child->send("1\n");
    std::string out = test::read_until(child->fd(), "Choose your class:");
    EXPECT_NE(out.find("Choose your class:"), std::string::npos);
    EXPECT_EQ(out.find("needs a terminal"), std::string::npos) << out;
}

// Runs a daemon pair in dir; the daemon is adopted here, so its exit status is ours to read.
pid_t run_daemon(const App& app, const std::vector<std::string>& args, const std::string& dir, Result& parent)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    parent = run(args, app.env(), dir);
    auto at = parent.out.find("PID: ");
    return at == std::string::npos ? -1 : std::atoi(parent.out.c_str() + at + 5);
}

TEST_F(App, DaemonPairsDetachWithAPidFileOthersCannotWriteAndPidFileFailureExitsOne)
{
    // The port is taken, so each daemon ends by itself and leaves its PID file.
    for (std::vector<std::string> args : { std::vector<std::string> { "-s", "-d" }, { "--server", "--daemon" },
             { "-d", "--server" }, { "--daemon", "-s", "extra" } }) {
        SCOPED_TRACE(testing::PrintToString(args));
        test::TempDir dir;
        Result parent;
        pid_t pid = run_daemon(*this, args, dir.path(), parent);
        ASSERT_GT(pid, 0) << parent.out;
        EXPECT_EQ(parent.status, 0);
        EXPECT_EQ(parent.out, "Listening on port " + std::to_string(busy.port) + "\nDaemon started with PID: "
                + std::to_string(pid) + "\nPID file: ./rl_server.pid\n");
        EXPECT_EQ(wait_pid(pid, 10000), 0);
        EXPECT_EQ(test::read_file(dir.file("rl_server.pid")), std::to_string(pid) + "\n");
        struct stat st {};
        ASSERT_EQ(stat(dir.file("rl_server.pid").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 022, 0u) << std::oct << st.st_mode;
    }
    ASSERT_EQ(mkdir(cwd.file("rl_server.pid").c_str(), 0755), 0);
    Result parent;
    pid_t pid = run_daemon(*this, { "-s", "-d" }, cwd.path(), parent);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_pid(pid, 10000), 1);
}

}  // namespace
