#include "accounts/accounts.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

namespace {

// The program on a pseudo-terminal, in a scratch working directory (where
// users.dat lives) with its configuration in another one.
class AccountsCommandLine : public ::testing::Test {
protected:
    test::TempDir work;
    test::TempDir config;

    test::Child::Options options() const
    {
        test::Child::Options o;
        o.pty = true;
        o.cwd = work.path();
        o.env = { "RL_CONFIG_DIR=" + config.path(), "HOME=" + config.path() };
        return o;
    }

    // What the program has written and not yet been matched: a read may
    // bring the next prompt along with the text that was waited for.
    std::string m_pending;

    // Waits for the text and fails the test when it does not come.
    void expect_text(const test::Child& child, std::string_view text)
    {
        std::size_t at;
        while ((at = m_pending.find(text)) == std::string::npos) {
            std::string more = test::read_until(child.fd(), text, 10000);
            if (more.empty())
                break;
            m_pending += more;
        }
        ASSERT_NE(at, std::string::npos) << "waited for \"" << text << "\", got: " << m_pending;
        m_pending.erase(0, at + text.size());
    }

    void answer(const test::Child& child, std::string_view prompt, std::string_view line)
    {
        expect_text(child, prompt);
        child.send(line);
    }

    std::vector<UserRecord> stored() const
    {
        test::ScopedChdir cd(work.path());
        return load_users();
    }
};

TEST_F(AccountsCommandLine, RegisterThenLogInAndReachTheMenu)
{
    {
        test::Child reg({ test::program_path(), "-r" }, options());
        answer(reg, "Choose a username: ", "zoe\n");
        answer(reg, "Choose a password: ", "pw 1\n");
        expect_text(reg, "Registration successful.");
        EXPECT_EQ(reg.wait_exit(10000), 0);
    }
    std::vector<UserRecord> users = stored();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_STREQ(users[0].username, "zoe");

    test::Child login({ test::program_path(), "--login" }, options());
    answer(login, "Username: ", "zoe\n");
    answer(login, "Password: ", "pw 1\n");
    expect_text(login, "Login successful.");
    answer(login, "Enter choice: ", "5\n");
    EXPECT_EQ(login.wait_exit(10000), 0);
}

TEST_F(AccountsCommandLine, FailedLoginEndsWithStatusZeroAndNoMenu)
{
    test::Child login({ test::program_path(), "-l" }, options());
    answer(login, "Username: ", "nobody\n");
    answer(login, "Password: ", "pw\n");
    expect_text(login, "Invalid credentials.");
    std::string rest = m_pending + test::read_available(login.fd(), 300, 2000);
    EXPECT_EQ(rest.find("gLOOMhOLD"), std::string::npos) << rest;
    EXPECT_EQ(login.wait_exit(10000), 0);
    EXPECT_FALSE(test::file_exists(work.file("users.dat")));
}

TEST_F(AccountsCommandLine, MenuRegistersAndLogsIn)
{
    test::Child menu({ test::program_path() }, options());
    answer(menu, "Enter choice: ", "3\n");
    answer(menu, "Choose a username: ", "yan\n");
    answer(menu, "Choose a password: ", "pw\n");
    expect_text(menu, "Registration successful.");
    answer(menu, "Press Enter to continue", "\n");
    answer(menu, "Enter choice: ", "4\n");
    answer(menu, "Username: ", "yan\n");
    answer(menu, "Password: ", "wrong\n");
    expect_text(menu, "Invalid credentials.");
    answer(menu, "Login failed. Press Enter to continue", "\n");
    answer(menu, "Enter choice: ", "4\n");
    answer(menu, "Username: ", "yan\n");
    answer(menu, "Password: ", "pw\n");
    expect_text(menu, "Login successful.");
    menu.kill_now();
    ASSERT_EQ(stored().size(), 1u);
}

}  // namespace
