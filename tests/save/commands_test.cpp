#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <filesystem>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "save/save.hpp"
#include "save/save_fixtures.hpp"
#include "support/test_support.hpp"
#include "term/term.hpp"
#include "world/items.hpp"

namespace {

const std::string GREEN = "\x1b[32m", RESET = "\x1b[0m";

// What the acting client receives for one status line.
std::string status_line(std::string_view text)
{
    return "\x1b[27;1H" + std::string(50, ' ') + "\x1b[27;1H\x1b[33m" + std::string(text) + RESET;
}

void set_mtime(const std::string& path, std::time_t t)
{
    const struct timespec times[2] = { { t, 0 }, { t, 0 } };
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class SaveCommands : public ::testing::Test {
protected:
    SaveCommands() : m_cd(m_dir.path()) {}
    void SetUp() override { save_test::build_busy_game(g); }
    void TearDown() override
    {
        save_test::reset_game(g);
        set_server_mode(0);
        set_output_fd(-1);
    }
    // A save file of the busy game at the given level, with the given mtime.
    void write_level(const std::string& path, int level, std::time_t mtime)
    {
        g.level = level;
        ASSERT_EQ(write_save_file(path.c_str(), g, g.player), 0);
        set_mtime(path, mtime);
    }
    std::string message() const { return g.player.message; }

    inline static Game g {};

private:
    test::TempDir m_dir;
    test::ScopedChdir m_cd;
};

TEST_F(SaveCommands, SaveCreatesTheDirectoryAndLoadRestoresTheGame)
{
    mode_t old_mask = umask(022);
    save_game(g, g.player);
    umask(old_mask);
    std::smatch m;
    const std::string text = message();
    ASSERT_TRUE(std::regex_match(text, m,
        std::regex("\x1b\\[32mGame saved successfully to (saves/save_\\d{8}_\\d{6}\\.sav)\x1b\\[0m")))
        << text;
    struct stat st {};
    ASSERT_EQ(stat("saves", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    const std::string path = m[1];
    EXPECT_TRUE(test::file_exists(path));

    g.turn = 999;
    load_game(g, g.player);
    EXPECT_EQ(message(), GREEN + "Game loaded from " + path + RESET);
    EXPECT_EQ(g.turn, 77);
}

TEST_F(SaveCommands, LoadsTheNewestFileWhateverTheNames)
{
    mkdir("saves", 0755);
    write_level("saves/a.sav", 5, 2000);
    write_level("saves/z.sav", 9, 1000);
    load_game(g, g.player);
    EXPECT_EQ(g.level, 5);
    set_mtime("saves/z.sav", 3000);
    load_game(g, g.player);
    EXPECT_EQ(g.level, 9);
    // Any name containing ".sav" counts, and one past 255 characters is skipped.
    write_level("saves/notes.sav.txt", 6, 4000);
    load_game(g, g.player);
    EXPECT_EQ(g.level, 6);
    const std::string longest = "saves/" + std::string(245, 'n') + ".sav";  // 255 characters
    write_level(longest, 7, 5000);
    write_level("saves/" + std::string(246, 'n') + ".sav", 8, 6000);
    load_game(g, g.player);
    EXPECT_EQ(g.level, 7);
}

TEST_F(SaveCommands, EveryLoadFailureHasItsMessageAndChangesNothing)
{
    load_game(g, g.player);
    EXPECT_EQ(message(), "No saves directory found!");
    mkdir("saves", 0755);
    test::write_file("saves/readme.txt", "not a save");
    load_game(g, g.player);
    EXPECT_EQ(message(), "No save files found!");

    write_level("saves/good.sav", 4, 1000);
    std::string v2 = test::read_file("saves/good.sav");
    v2[4] = 2;
    g.level = 3;
    auto before = std::make_unique<Game>(g);
    const struct {
        const char* name;
        std::function<void(const char*)> make;
        const char* text;
    } cases[] = {
        { "saves/notes.sav.txt", [](const char* p) { test::write_file(p, "shopping list"); }, "Invalid save file format!" },
        { "saves/v2.sav", [&](const char* p) { test::write_file(p, v2); }, "Unsupported save file version!" },
        { "saves/folder.sav", [](const char* p) { mkdir(p, 0755); }, "Failed to load save file!" },
        // Opening a FIFO for reading would wait for a writer forever.
        { "saves/pipe.sav", [](const char* p) { mkfifo(p, 0644); }, "Failed to load save file!" },
    };
    std::time_t t = 2000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make(c.name);
        set_mtime(c.name, t++);
        copy_text(before->player.message, c.text);
        load_game(g, g.player);
        EXPECT_EQ(message(), c.text);
        EXPECT_EQ(std::memcmp(before.get(), &g, sizeof g), 0);
    }
}

TEST_F(SaveCommands, FailedSaveSaysSoAndKeepsTheEarlierSave)
{
    test::write_file("saves", "a file in the way");
    save_game(g, g.player);
    EXPECT_EQ(message(), "Failed to save game!");
    EXPECT_EQ(test::read_file("saves"), "a file in the way");
    unlink("saves");

    mkdir("saves", 0755);
    write_level("saves/earlier.sav", 2, 1000);
    const std::string earlier = test::read_file("saves/earlier.sav");
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 50000;
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    save_game(g, g.player);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(message(), "Failed to save game!");
    EXPECT_TRUE(test::read_file("saves/earlier.sav") == earlier) << "the earlier save changed";
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("saves"))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(SaveCommands, SaveIntoReadOnlyDirectoryFails)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into a read-only directory";
    mkdir("saves", 0755);
    chmod("saves", 0555);
    save_game(g, g.player);
    chmod("saves", 0755);
    EXPECT_EQ(message(), "Failed to save game!");
}

TEST_F(SaveCommands, LocalPlayWritesNoStatusLine)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK), 0);
    fflush(stdout);
    int saved_stdout = dup(1);
    dup2(pipe_fds[1], 1);
    save_game(g, g.player);
    load_game(g, g.player);
    fflush(stdout);
    dup2(saved_stdout, 1);
    close(saved_stdout);
    close(pipe_fds[1]);
    char buf[16];
    EXPECT_LE(read(pipe_fds[0], buf, sizeof buf), 0);
    close(pipe_fds[0]);
    EXPECT_TRUE(message().starts_with(GREEN + "Game loaded from saves/save_"));
}

TEST_F(SaveCommands, ServerShowsEachStepToTheActingClientAtOnce)
{
    test::SocketPair client;
    set_server_mode(1);
    set_output_fd(client.ours);
    save_game(g, g.player);
    const std::string saved_text = message();
    load_game(g, g.player);
    const std::string expected = status_line("Saving game...") + status_line(saved_text)
        + status_line("Loading game...") + status_line(message());
    EXPECT_EQ(test::read_available(client.peer, 100), expected);
    set_output_fd(-1);
    show_status_line("nobody to tell");
}

// The server saves for whichever player pressed 'S'; local play loads that
// player's items into player 0, and a local save loads back on the server.
TEST_F(SaveCommands, ServerSaveLoadsInLocalPlayAndBack)
{
    Game& server = server_game();
    Game& local = local_game();
    save_test::build_busy_game(server);
    server.other_count = 2;
    server.others[1].alive = 1, server.others[1].x = 3, server.others[1].y = 3;
    server.others[1].inventory[5] = create_item(ITEM_STONES);
    server.others[1].inventory[5]->quantity = 12;
    save_test::build_busy_game(local, 3);

    ASSERT_EQ(write_save_file("server.sav", server, server.others[1]), 0);
    ASSERT_EQ(read_save_file("server.sav", local, local.player), 0);
    EXPECT_EQ(local.other_count, 2);
    ASSERT_NE(local.player.inventory[5], nullptr);
    EXPECT_EQ(local.player.inventory[5]->quantity, 12);
    EXPECT_EQ(local.player.inventory[0], nullptr);
    EXPECT_EQ(local.others[1].inventory[5], nullptr);

    local.turn = 4321;
    ASSERT_EQ(write_save_file("local.sav", local, local.player), 0);
    ASSERT_EQ(read_save_file("local.sav", server, server.others[0]), 0);
    EXPECT_EQ(server.turn, 4321);
    EXPECT_EQ(server.player.inventory[0], nullptr);
    ASSERT_NE(server.others[0].inventory[5], nullptr);
    EXPECT_EQ(server.others[0].inventory[5]->kind, ITEM_STONES);
    save_test::reset_game(server);
    save_test::reset_game(local);
}

}  // namespace
