// The main menu on a pseudo-terminal: raw mode while it runs, the terminal's
// attributes back after quitting or being ended by a signal, Enter confirming
// a choice, and a local game leading back to the menu through game over.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "app/app_test_support.hpp"
#include "support/test_support.hpp"

namespace {

const std::string PROMPT = "Enter choice: ";

// The terminal turns each line feed of the output into CR LF.
std::string on_screen(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// The program on a pty, configured from a private directory whose port is
// taken. The slave side stays open here so its attributes can be read after
// the program has gone.
class MenuOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        apptest::write_port_config(m_dir.path(), m_busy.port());
        test::Child::Options options;
        options.env = { "RL_CONFIG_DIR=" + m_dir.path(), "HOME=" + m_dir.path(), "TERM=xterm" };
        options.cwd = m_dir.path();
        m_child = std::make_unique<test::Child>(std::vector<std::string> { test::program_path() }, options);
        ASSERT_GT(m_child->pid(), 0);
        const char* name = ptsname(m_child->fd());
        ASSERT_NE(name, nullptr);
        m_slave = open(name, O_RDWR | O_NOCTTY);
        ASSERT_GE(m_slave, 0);
    }
    void TearDown() override
    {
        m_child.reset();
        if (m_slave >= 0)
            close(m_slave);
    }

    // True when the terminal is line-buffered and echoing, as a shell leaves it.
    bool terminal_is_cooked() const
    {
        struct termios t {};
        if (tcgetattr(m_slave, &t) != 0)
            return false;
        return (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
    }
    bool terminal_is_raw() const
    {
        struct termios t {};
        return tcgetattr(m_slave, &t) == 0 && !(t.c_lflag & ICANON) && !(t.c_lflag & ECHO);
    }

    std::string wait_for(const std::string& text, int ms = 5000)
    {
        std::string got = test::read_until(m_child->fd(), on_screen(text), ms);
        m_seen += got;
        return got;
    }
    bool shows(const std::string& text, int ms = 5000)
    {
        return wait_for(text, ms).find(on_screen(text)) != std::string::npos;
    }

    void play_until_game_over()
    {
        ASSERT_TRUE(shows("Choose your class:")) << m_seen;
        m_child->send("1\n");
        // A running game loop ends on 'q'; one that ends by itself goes straight to game over.
        if (!shows("GAME OVER!", 1500))
            m_child->send("q");
        ASSERT_TRUE(shows("Press Enter to return to main menu...")) << m_seen;
        EXPECT_NE(m_seen.find(on_screen("\x1b[91mGAME OVER! You reached dungeon level 1.\n")), std::string::npos);
    }

    apptest::BusyPort m_busy;
    test::TempDir m_dir;
    std::unique_ptr<test::Child> m_child;
    int m_slave { -1 };
    std::string m_seen;
};

TEST_F(MenuOnPty, MenuRunsInRawModeAndQuitRestoresTheTerminal)
{
    ASSERT_TRUE(shows(PROMPT));
    EXPECT_TRUE(terminal_is_raw());
    m_child->send("5\n");
    EXPECT_EQ(m_child->wait_exit(), 0);
    EXPECT_TRUE(terminal_is_cooked());
}

TEST_F(MenuOnPty, SigtermAtTheMenuRestoresTheTerminalAndStillEndsTheProcess)
{
    ASSERT_TRUE(shows(PROMPT));
    ASSERT_TRUE(terminal_is_raw());
    kill(m_child->pid(), SIGTERM);
    EXPECT_EQ(m_child->wait_exit(), 128 + SIGTERM);
    EXPECT_TRUE(terminal_is_cooked());
}

TEST_F(MenuOnPty, InterruptKeyDuringLocalGameRestoresTheTerminal)
{
    ASSERT_TRUE(shows(PROMPT));
    m_child->send("1\n");
    ASSERT_TRUE(shows("Choose your class:"));
    m_child->send("1\n");
    usleep(300000);
    m_child->send("\x03");
    EXPECT_EQ(m_child->wait_exit(), 128 + SIGINT);
    EXPECT_TRUE(terminal_is_cooked());
}

TEST_F(MenuOnPty, EnterAloneWaitsForASecondEnterBeforeInvalidOption)
{
    ASSERT_TRUE(shows(PROMPT));
    m_child->send("\n");
    EXPECT_FALSE(shows("Invalid option.", 300));
    m_child->send("\n");
    ASSERT_TRUE(shows("Invalid option.\nPress Enter to continue/* ... */")) << m_seen;
    m_child->send("\n");
    ASSERT_TRUE(shows(PROMPT));
    m_child->send("5\n");
    EXPECT_EQ(m_child->wait_exit(), 0);
    EXPECT_TRUE(terminal_is_cooked());
}

TEST_F(MenuOnPty, ChoiceOneTwoEnterStartsAGameAndGameOverReturnsToTheMenu)
{
    ASSERT_TRUE(shows(PROMPT));
    m_child->send("12\n");
    play_until_game_over();
    EXPECT_EQ(m_seen.find("Invalid option."), std::string::npos);
    EXPECT_TRUE(terminal_is_cooked());  // the game-over screen waits in normal mode
    m_child->send("\n");
    ASSERT_TRUE(shows(PROMPT));
    EXPECT_TRUE(terminal_is_raw());

    // A second game starts afresh, with a new character on a new level 1.
    m_seen.clear();
    m_child->send("1\n");
    play_until_game_over();
    m_child->send("\n");
    ASSERT_TRUE(shows(PROMPT));
    m_child->send("5\n");
    EXPECT_EQ(m_child->wait_exit(), 0);
    EXPECT_TRUE(terminal_is_cooked());
}

}  // namespace
