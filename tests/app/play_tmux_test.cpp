// A whole local game as a person plays it: in a real terminal (tmux), pick a
// class, take a turn, open help, quit, and come back to the menu with the terminal sane.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "support/test_support.hpp"

namespace {

std::string run(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    while (std::size_t n = fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    pclose(p);
    return out;
}

class TmuxSession {
public:
    TmuxSession(const std::string& dir, const std::string& command)
        : m_tmux("tmux -L delve" + std::to_string(getpid()) + " ")
    {
        run(m_tmux + "new-session -d -s t -x 120 -y 40 \"cd " + dir + " && " + command + "\"");
    }
    ~TmuxSession() { run(m_tmux + "kill-server 2>/dev/null"); }
    void keys(const std::string& k) { run(m_tmux + "send-keys -t t " + k); }
    std::vector<std::string> screen()
    {
        std::string text = run(m_tmux + "capture-pane -p -t t");
        std::vector<std::string> rows;
        std::size_t start = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            rows.push_back(text.substr(start, nl - start));
        return rows;
    }
    // Waits until some row holds the text; returns the screen at that moment.
    std::vector<std::string> wait_for(const std::string& text)
    {
        for (int i = 0; i < 100; ++i) {
            auto rows = screen();
            for (const auto& r : rows) {
                if (r.find(text) != std::string::npos)
                    return rows;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "never shown: " << text;
        return screen();
    }

private:
    std::string m_tmux;
};

std::string column_from(const std::string& row, std::size_t col)
{
    return row.size() >= col ? row.substr(col - 1) : std::string();
}

TEST(LocalPlayInTmux, ClassTurnHelpQuitAndBackToTheMenu)
{
    if (run("command -v tmux").empty())
        GTEST_SKIP() << "tmux missing (tools/setup.sh installs it)";
    test::TempDir dir;
    std::string cmd = std::string("HOME=") + dir.path() + " " + test::program_path() +
                      "; stty -a > " + dir.file("stty.txt") + "; sleep 30";
    TmuxSession tmux(dir.path(), cmd);
    tmux.wait_for("Enter choice:");
    tmux.keys("1 Enter");
    tmux.wait_for("Choose your class:");
    tmux.keys("1 Enter");
    auto rows = tmux.wait_for("You have chosen the Fighter class.");
    ASSERT_GE(rows.size(), 28u);
    EXPECT_EQ(column_from(rows[0], 65).rfind("--- STATS ---", 0), 0u);
    EXPECT_EQ(column_from(rows[1], 65).rfind("Health: 150/150", 0), 0u);
    EXPECT_EQ(column_from(rows[0], 85).rfind("--- MINIMAP ---", 0), 0u);
    EXPECT_EQ(rows[27].rfind("Input:", 0), 0u);  // tmux drops the trailing blank
    EXPECT_EQ(rows[26].rfind("You have chosen the Fighter class.", 0), 0u);
    // The player stands at column 30, row 10 of the map: screen row 16, column 31.
    EXPECT_EQ(rows[15].substr(30, 1), "@");

    tmux.keys("5");
    // A monster that starts next to the player may strike and replace the
    // message, so the turn counter is what shows the key was taken.
    rows = tmux.wait_for("Turn: 1");
    EXPECT_EQ(column_from(rows[7], 65).rfind("Turn: 1", 0), 0u);
    tmux.keys("?");
    tmux.wait_for("Press any key to return to the game...");
    tmux.keys("x");
    tmux.wait_for("--- STATS ---");
    tmux.keys("q");
    tmux.wait_for("GAME OVER! You reached dungeon level 1.");
    tmux.keys("Enter");
    tmux.wait_for("1. Play Game (Local)");
    tmux.keys("5 Enter");
    std::string stty;
    for (int i = 0; i < 100 && stty.find("icanon") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stty = test::read_file(dir.file("stty.txt"));
    }
    EXPECT_NE(stty.find(" echo "), std::string::npos) << stty;
    EXPECT_EQ(stty.find("-icanon"), std::string::npos) << stty;
}

}  // namespace
