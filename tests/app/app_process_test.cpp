// The executable as a child process with files for its standard streams:
// the help text, which argument vectors reach the server or the menu, and
// the menu's reading of choices from plain input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_test_support.hpp"
#include "support/test_support.hpp"

namespace {

const std::string HELP = "--- Command Line Help ---\n"
                         "./mzDELVE -r or --register == registration mode\n"
                         " /mzDELVE -l or --login == login\n"
                         "./mzDELVE -s or --server == multi player server\n"
                         "./mzDELVE -s -d or --server --daemon ==  daemon server mode\n";
const std::string MENU_TITLE = "--- gLOOMhOLD DUNGEON ---";
const std::string PROMPT = "\nEnter choice: ";
const std::string PRESS_ENTER = "Press Enter to continue/* ... */";

int count(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

std::vector<std::string> with_program(std::vector<std::string> args)
{
    args.insert(args.begin(), test::program_path());
    return args;
}

// Every run reads its configuration from a private directory whose port is
// taken, so no path can end up serving on a real port.
class AppProcess : public ::testing::Test {
protected:
    void SetUp() override { apptest::write_port_config(m_config.path(), m_busy.port()); }

    apptest::RunResult run(std::vector<std::string> args, const std::string& input = {})
    {
        return apptest::run_program(with_program(std::move(args)),
            { "RL_CONFIG_DIR=" + m_config.path(), "HOME=" + m_home.path() }, m_cwd.path(), input);
    }

    apptest::BusyPort m_busy;
    test::TempDir m_config, m_home, m_cwd;
};

TEST(AppHelp, HelpTextIsExactAndDefaultConfigIsCreatedFirst)
{
    test::TempDir home, cwd;
    for (const char* flag : { "-h", "--help" }) {
        SCOPED_TRACE(flag);
        apptest::RunResult r = apptest::run_program(
            with_program({ flag, "ignored" }), { "HOME=" + home.path() }, cwd.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, HELP);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(test::file_exists(home.file(".mzdelve/mzdelve.cfg")));
    }
    EXPECT_EQ(count(test::read_file(home.file(".mzdelve/mzdelve.cfg")), "PORT = 1337\n"), 1);
}

TEST(AppHelp, HelpWithConfigDirectoryWritesNothing)
{
    test::TempDir config, home, cwd;
    apptest::RunResult r = apptest::run_program(with_program({ "-h" }),
        { "RL_CONFIG_DIR=" + config.path(), "HOME=" + home.path() }, cwd.path());
    EXPECT_EQ(r.out, HELP);
    EXPECT_FALSE(test::file_exists(config.file("mzdelve.cfg")));
    EXPECT_FALSE(test::file_exists(home.file(".mzdelve")));
}

TEST_F(AppProcess, ServerOptionFirstStartsForegroundServerWhoseFailureIsStatusOne)
{
    const std::vector<std::vector<std::string>> cases = {
        { "-s" }, { "--server" }, { "-s", "other" }, { "--server", "-x", "-d" }, { "-s", "-s" },
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.size() > 1 ? args[0] + " " + args[1] : args[0]);
        apptest::RunResult r = run(args);
        EXPECT_EQ(r.status, 1);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(count(r.err, "\n"), 1) << r.err;
        EXPECT_EQ(r.err.back(), '\n');
        EXPECT_EQ(r.out.find(MENU_TITLE), std::string::npos);
    }
}

TEST_F(AppProcess, ArgumentsThatSelectNothingShowTheMenu)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, { "-d" }, { "--daemon" }, { "-d", "-x" }, { "-x", "-d" }, { "-x", "-s" },
        { "-sd" }, { "--serve" }, { "-server" }, { "-H" }, { "" },
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        apptest::RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count(r.out, MENU_TITLE), 1);
        EXPECT_NE(r.out.find("2. Server Mode (Listen on Port " + std::to_string(m_busy.port()) + ")\n"),
            std::string::npos);
        EXPECT_EQ(r.out.find("Listening on port"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(AppProcess, MenuTextIsExact)
{
    apptest::RunResult r = run({});
    std::string expected = "\x1b[94m--- gLOOMhOLD DUNGEON ---\n\n1. Play Game (Local)\n2. Server Mode (Listen on Port "
        + std::to_string(m_busy.port())
        + ")\n3. Register New User\n4. Login and Play (Local)\n5. Quit\n\nEnter choice: ";
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    EXPECT_EQ(r.out.rfind("\x1b[H\x1b[J", 0), 0u);
}

TEST_F(AppProcess, EndOfInputAtTheMenuAndInItsWaitsQuitsWithStatusZero)
{
    apptest::RunResult r = run({}, "");
    EXPECT_EQ(r.status, 0);
    // An invalid choice waits for Enter; input that ends there ends the wait.
    r = run({}, "x\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "Invalid option.\n" + PRESS_ENTER), 1);
    EXPECT_EQ(count(r.out, PROMPT), 2);
    // Input ending without a line feed after the choice.
    r = run({}, "x");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "Invalid option."), 1);
}

TEST_F(AppProcess, ExtraCharactersOnTheChoiceLineAreDropped)
{
    apptest::RunResult r = run({}, "xyz\n\n5junk\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "Invalid option."), 1);
    EXPECT_EQ(count(r.out, PROMPT), 2);
}

TEST_F(AppProcess, EnterAloneIsAChoiceConfirmedBySecondEnter)
{
    apptest::RunResult r = run({}, "\n\n\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "Invalid option."), 1);
    EXPECT_EQ(count(r.out, PROMPT), 2);
}

TEST_F(AppProcess, KeysTypedAheadOfTheWaitForEnterAreNotLost)
{
    apptest::RunResult r = run({}, "x\n\nx\n\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "Invalid option."), 2);
    EXPECT_EQ(count(r.out, PROMPT), 3);
}

TEST_F(AppProcess, ServerThatCannotListenFromTheMenuShowsWhyAndReturns)
{
    apptest::RunResult r = run({}, "2\n\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, PROMPT), 2);
    auto press = r.out.find("\n" + PRESS_ENTER);
    ASSERT_NE(press, std::string::npos) << r.out;
    // The reason is one non-empty line right before the prompt to continue.
    auto line_start = r.out.rfind('\n', press - 1);
    EXPECT_GT(press, line_start + 1);
}

TEST_F(AppProcess, FailedLoginOnTheCommandLineEndsWithStatusZero)
{
    apptest::RunResult r = run({ "-l" }, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(MENU_TITLE), std::string::npos);
}

}  // namespace
