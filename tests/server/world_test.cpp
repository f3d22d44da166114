// The world across the process: world.dat on a stop and a restart, after a
// crash, set aside when it is unusable; and a reload that keeps the players.
#include <sys/stat.h>

#include "server/server_harness.hpp"

using srv::Client;
using srv::Screen;

namespace {
constexpr std::string_view KEPT = "Server restarting: your character is kept. Log in again to go on.\r\nThank you for playing.";

std::string log_in_again(Client& c, const std::string& user)
{
    if (!srv::talk(c, { { "Select: ", "l\n" }, { "Username: ", user + "\n" }, { "Password: ", "secret\n" } }, false))
        return {};
    return c.frame();
}

// The frame that shows the chat line, or empty.
std::string say(Client& c, const std::string& text)
{
    return c.send("/") && srv::talk(c, { { "Enter message: ", text + "\n" } }, false) ? c.frame_with(text) : "";
}

// Where the party stands, whoever leads it.
std::vector<srv::Cell> everyone(const Screen& s)
{
    std::vector<srv::Cell> at = s.find_on_map('&'), leader = s.find_on_map('@');
    at.insert(at.end(), leader.begin(), leader.end());
    std::sort(at.begin(), at.end());
    return at;
}

int mode_of(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

std::vector<std::string> set_aside_files(const std::string& dir)
{
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("world.dat.bad-", 0) == 0)
            out.push_back(e.path().string());
    return out;
}
}  // namespace

TEST(ServerWorld, AStopKeepsEveryCharacterAndTheRestartGivesThemBack)
{
    srv::Server server;
    const char* users[] = { "w_ann", "w_bob", "w_cid", "w_dee" };
    std::vector<std::unique_ptr<Client>> players;
    for (int i = 0; i < 4; ++i) {
        players.push_back(std::make_unique<Client>(server.port()));
        ASSERT_TRUE(srv::join(*players.back(), users[i], std::string("P") + users[i], "1234"[i]));
    }
    players[1]->send("5");
    ASSERT_FALSE(players[1]->frame_with("You wait").empty());
    std::vector<srv::Cell> party = everyone(Screen(say(*players[0], "kept-across-restart")));
    ASSERT_EQ(party.size(), 4u);
    std::string log;
    EXPECT_EQ(server.stop(log), 0);
    for (auto& p : players)
        EXPECT_FALSE(p->read_until(KEPT).empty());
    EXPECT_NE(log.find("stop signal SIGTERM, world saved (4 seats)"), std::string::npos) << log;
    EXPECT_EQ(mode_of(server.file("world.dat")), 0600);

    server.start();
    for (int i = 3; i >= 0; --i) {
        players[i] = std::make_unique<Client>(server.port());
        std::string f = log_in_again(*players[i], users[i]);
        EXPECT_EQ(f.find("chat username"), std::string::npos) << f;
        // Each return is announced, and the chat keeps four lines.
        if (i > 0)
            EXPECT_NE(f.find("kept-across-restart"), std::string::npos) << i;
        else
            EXPECT_EQ(everyone(Screen(f)), party);
    }
    EXPECT_NE(server.stop(log), -1);
    EXPECT_NE(log.find("world loaded \"world.dat\" level 1, 4 seats held"), std::string::npos) << log;
}

TEST(ServerWorld, ACrashAfterAnAutosaveLosesAtMostTheLastInterval)
{
    auto server = srv::Server::tuned({ "--autosave-ms", "200" });
    Client ann(server->port());
    ASSERT_TRUE(srv::join(ann, "c_ann", "Ann", '1'));
    ASSERT_FALSE(say(ann, "before-the-crash").empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    std::string log;
    server->stop(log, SIGKILL);
    ann.close_now();
    server->start();
    Client back(server->port());
    EXPECT_NE(log_in_again(back, "c_ann").find("before-the-crash"), std::string::npos);
    for (const auto& e : std::filesystem::directory_iterator(server->file("")))
        EXPECT_EQ(e.path().filename().string().find(".partial-"), std::string::npos) << e.path();
}

TEST(ServerWorld, ADamagedTruncatedOrForeignWorldIsSetAsideAndANewOneStarts)
{
    std::string sound;
    {
        srv::Server server;
        Client ann(server.port());
        ASSERT_TRUE(srv::join(ann, "d_ann", "Ann", '1'));
        std::string log;
        server.stop(log);
        sound = test::read_file(server.file("world.dat"));
    }
    ASSERT_GT(sound.size(), 60000u);
    std::string flipped = sound;
    flipped[30000] ^= 1;
    const std::pair<std::string, const char*> cases[] = { { flipped, "damaged" },
                                                          { sound.substr(0, sound.size() / 2), "damaged" },
                                                          { std::string(200, 'x'), "foreign" } };
    for (const auto& [bytes, kind] : cases) {
        SCOPED_TRACE(kind);
        srv::Server server({}, { "-s" }, srv::free_port(), test::program_path(), {});
        std::string log;
        server.stop(log);
        test::write_file(server.file("world.dat"), bytes);
        server.start();
        Client ann(server.port());
        ASSERT_TRUE(srv::join(ann, "d_ann", "Ann", '1'));  // a new world: the name and class are asked
        server.stop(log);
        EXPECT_NE(log.find(std::string("world \"world.dat\" ") + kind + ", set aside as \"world.dat.bad-"), std::string::npos) << log;
        std::vector<std::string> aside = set_aside_files(server.file(""));
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(test::read_file(aside[0]), bytes);
    }
}

// Even where a dropped link loses its seat at once.
TEST(ServerReload, SigusrTwoKeepsThePlayersConnectedAndTheNextKeyWorks)
{
    auto tuned = srv::Server::tuned({ "--seat-hold-ms", "0" });
    srv::Server& server = *tuned;
    Client ann(server.port()), bob(server.port()), dialogue(server.port());
    ASSERT_TRUE(srv::join(ann, "r_ann", "Ann", '1') && srv::join(bob, "r_bob", "Bob", '2'));
    ASSERT_FALSE(say(ann, "before-the-reload").empty());
    ASSERT_FALSE(dialogue.read_until("Select: ").empty());
    bob.drain();
    pid_t pid = server.pid();
    kill(pid, SIGUSR2);
    EXPECT_NE(dialogue.read_until("Server restarting: please log in again."), "");
    EXPECT_TRUE(dialogue.wait_closed());
    std::string redraw = ann.frame();
    EXPECT_NE(redraw.find("before-the-reload"), std::string::npos) << redraw;
    EXPECT_EQ(redraw.find("Thank you"), std::string::npos);
    ann.send("c");
    EXPECT_FALSE(ann.frame_with("You know no spells.").empty());
    bob.send("5");
    EXPECT_FALSE(bob.frame_with("You wait").empty());
    EXPECT_EQ(server.pid(), pid);
    std::string log;
    EXPECT_EQ(server.stop(log), 0);
    EXPECT_NE(log.find("reload exec"), std::string::npos) << log;
    EXPECT_NE(log.find("with 2 players, world saved (2 seats)"), std::string::npos) << log;
    EXPECT_NE(log.find("start port " + std::to_string(server.port()) + " after a reload"), std::string::npos) << log;
}

TEST(ServerReload, AProgramThatCannotStartAgainServesOnWithNothingLost)
{
    test::TempDir bin;
    std::string copy = bin.file("mzDELVE");
    std::filesystem::copy_file(test::program_path(), copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    srv::Server server({}, { "-s" }, srv::free_port(), copy.c_str());
    Client ann(server.port());
    ASSERT_TRUE(srv::join(ann, "f_ann", "Ann", '1'));
    ann.drain();
    std::filesystem::remove(copy);  // as an upgrade gone wrong would leave it
    kill(server.pid(), SIGUSR2);
    ann.send("c");
    EXPECT_FALSE(ann.frame_with("You know no spells.").empty());
    std::string log;
    EXPECT_EQ(server.stop(log), 0);
    EXPECT_NE(log.find("reload failed: cannot run \"" + copy + "\": No such file or directory; serving on"), std::string::npos) << log;
    EXPECT_NE(log.find("stop signal SIGTERM, world saved (1 seats)"), std::string::npos) << log;
}
