// Scenes set up by a save that a player loads: the shop's answer read after
// the world changed, a world whose turn count stands at its limit, and the
// saves folder itself, and a held character beside monsters and the stairs.
#include <climits>
#include <ctime>
#include <functional>
#include <fcntl.h>
#include <sys/stat.h>

#include "save/save.hpp"
#include "server/server_harness.hpp"
#include "world/chat.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

using srv::Client;
using srv::Screen;

namespace {
// A level for two, changed by set, saved age seconds ago.
void write_scene(const std::string& path, std::time_t age, const std::function<void(Game&)>& set)
{
    auto g = std::make_unique<Game>();
    std::srand(7);
    generate_level(*g);
    g->other_count = 1;
    g->others[0] = g->player;
    g->others[0].glyph = '&';
    set(*g);
    mkdir(std::filesystem::path(path).parent_path().c_str(), 0755);
    ASSERT_EQ(write_save_file(path.c_str(), *g, g->player), 0);
    // The newest save is chosen by its time, in whole seconds.
    timespec times[2] = { { std::time(nullptr) - age, 0 }, { std::time(nullptr) - age, 0 } };
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The leader beside or on the shop, carrying gold.
void write_shop(const std::string& path, int gold, int off_shop, std::time_t age)
{
    write_scene(path, age, [&](Game& g) {
        g.player.x = g.stores[0].x + (g.stores[0].x < 30 ? off_shop : -off_shop);
        g.player.y = g.stores[0].y;
        g.player.gold = gold;
    });
}

std::string answer_after(Client& ann, Client& bob, const std::string& answer)
{
    bob.send("L");
    EXPECT_FALSE(bob.frame_with("Game loaded").empty());
    ann.send(answer);
    return ann.frame();
}
}  // namespace

TEST(ServerSavedScene, AnAnswerAfterTheWorldChangedBuysNothingAndLosesNothing)
{
    srv::Server server;
    Client ann(server.port()), bob(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '1'));
    ann.drain(200), bob.drain(200);
    const char* steps[][2] = { { "a.sav", "b.sav" }, { "c.sav", "d.sav" } };
    const int gold_then[] = { 100, 100 }, gold_now[] = { 100, 0 }, off_now[] = { 1, 0 };
    const char* refusal[] = { "You are not at a store.", "Not enough gold for " };
    int age = 100;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        write_shop(server.file("saves/") + steps[i][0], gold_then[i], 0, age--);
        ann.send("L");
        ASSERT_FALSE(ann.frame_with("Game loaded").empty());
        bob.drain(200);
        ann.send("s");
        ASSERT_FALSE(ann.read_until("or 0 to cancel: ").empty());
        write_shop(server.file("saves/") + steps[i][1], gold_now[i], off_now[i], age--);
        Screen s(answer_after(ann, bob, "1\n"));
        EXPECT_TRUE(s.contains(refusal[i])) << s.m_rows[27];
        EXPECT_TRUE(s.contains("Gold: " + std::to_string(gold_now[i])));
        EXPECT_FALSE(s.contains("You bought"));
    }
}

TEST(ServerSavedScene, AtTheTurnLimitTheWorldStillMoves)
{
    srv::Server server;
    Client ann(server.port()), bob(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '1'));
    write_scene(server.file("saves/limit.sav"), 10, [](Game& g) {
        g.turn = INT_MAX;
        g.player.hp = g.player.max_hp = 1000;
        g.monster_count = 1;
        g.monsters[0].x = g.player.x + (g.player.x < 30 ? 1 : -1);
        g.monsters[0].y = g.player.y;
        g.monsters[0].alive = 1;
        g.monsters[0].attack = 5;
    });
    ann.send("L");
    ASSERT_FALSE(ann.frame_with("Game loaded").empty());
    ann.send("5");
    EXPECT_FALSE(ann.frame_with("attacks you for").empty()) << "the monster never acted";
}

TEST(ServerSavedScene, LoadListedAHugeSavesFolderUnderTheGameLockAndSavesPiledUp)
{
    auto server = srv::Server::tuned({}, "SAVES_KEPT=3\n");
    Client ann(server->port()), bob(server->port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '1'));
    ann.drain(200), bob.drain(200);
    // Looking through them takes the loading player a good while: each is a
    // link at the head of a chain of links that every look at it follows.
    // The newest, from the future, marks the loaded world.
    mkdir(server->file("chain").c_str(), 0755);
    test::write_file(server->file("chain/0"), "");
    for (int i = 1; i <= 30; ++i)
        ASSERT_EQ(symlink(std::to_string(i - 1).c_str(), server->file("chain/" + std::to_string(i)).c_str()), 0);
    mkdir(server->file("saves").c_str(), 0755);
    for (int i = 0; i < 60000; ++i)
        ASSERT_EQ(symlink("../chain/30", server->file("saves/junk_" + std::to_string(i) + ".sav").c_str()), 0);
    write_scene(server->file("saves/mark.sav"), -100, [](Game& g) { add_chat_message(g, "X", "LOADED-MARK"); });
    ann.send("L");
    bob.send("c");
    std::string answer = bob.frame_with("You know no spells.");
    EXPECT_EQ(answer.find("LOADED-MARK"), std::string::npos) << "Bob waited for Ann's load";
    EXPECT_NE(ann.frame_with("Game loaded").find("LOADED-MARK"), std::string::npos);
    // The server keeps the newest saves it named itself, and nothing else goes.
    for (int i = 1; i <= 4; ++i)
        write_scene(server->file("saves/save_2000010" + std::to_string(i) + "_000000.sav"), 1000 - i, [](Game&) {});
    ann.send("S");
    ASSERT_FALSE(ann.frame_with("Game saved successfully").empty());
    auto own_saves = [&] {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(server->file("saves")))
            if (e.path().filename().string().rfind("save_", 0) == 0)
                names.push_back(e.path().filename().string());
        return std::sort(names.begin(), names.end()), names;
    };
    ASSERT_TRUE(srv::wait_for([&] { return own_saves().size() == 3; }));
    std::vector<std::string> kept = own_saves();
    EXPECT_EQ(kept[0], "save_20000103_000000.sav");
    EXPECT_EQ(kept[1], "save_20000104_000000.sav");
    struct stat st {};
    ASSERT_EQ(stat(server->file("saves/" + kept[2]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(test::file_exists(server->file("saves/mark.sav")));
    std::string log = server->output();
    for (const char* gone : { "prune \"saves/save_20000101_000000.sav\" keeping 3", "prune \"saves/save_20000102_000000.sav\"" })
        EXPECT_NE(log.find(gone), std::string::npos) << log;
}

TEST(ServerSavedScene, AHeldCharacterIsLeftAloneAndGoesDownWithTheParty)
{
    srv::Server server;
    Client ann(server.port()), bob(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '1'));
    bob.drain(200);
    ann.send("5");
    Screen before(bob.frame());
    // The leader's link drops: Bob leads from where he stands.
    ann.close_now();
    Screen after(bob.frame_with("Ann\x1b[30C has lost the link."));
    EXPECT_EQ(after.find_on_map('@'), before.find_on_map('&'));
    EXPECT_EQ(after.find_on_map('&'), before.find_on_map('@'));
    // Ann between two strong monsters, Bob on the stairs.
    write_scene(server.file("saves/held.sav"), 10, [](Game& g) {
        g.others[0].hp = 77;
        g.others[0].max_hp = 150;
        g.player.x = g.stairs_x;
        g.player.y = g.stairs_y;
        g.player.hp = g.player.max_hp = 30000;
        g.monster_count = 2;
        for (int i = 0; i < 2; ++i) {
            Monster& m = g.monsters[i];
            m = Monster {};
            m.x = g.others[0].x + (i ? 1 : -1), m.y = g.others[0].y, m.glyph = 'T';
            m.hp = m.max_hp = 500, m.attack = 40, m.alive = 1;
        }
    });
    bob.send("L");
    ASSERT_FALSE(bob.frame_with("Game loaded").empty());
    for (int i = 0; i < 5; ++i) {
        bob.send("5");
        ASSERT_FALSE(bob.frame().empty());
    }
    bob.send(">");
    EXPECT_FALSE(bob.frame_with("You descend to level 2!").empty());
    Client back(server.port());
    ASSERT_TRUE(srv::talk(back, { { "Select: ", "l\n" }, { "Username: ", "user_ann\n" }, { "Password: ", "secret\n" } }, false));
    Screen s(back.frame());
    EXPECT_TRUE(s.contains("Health: 77/150") && s.contains("Level: 2"));
}
