// The shop's answer is read after the game lock was given back: what changed
// meanwhile (here another player loads a save) is checked before anything
// is bought, and nothing is bought or lost when it no longer holds.
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

#include "save/save.hpp"
#include "server/server_harness.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

using srv::Client;
using srv::Screen;

namespace {
// A level for two with the leader beside or on the shop, carrying gold.
void write_scene(const std::string& path, int gold, int off_shop, std::time_t age)
{
    auto g = std::make_unique<Game>();
    std::srand(7);
    generate_level(*g);
    g->other_count = 1;
    g->others[0] = g->player;
    g->others[0].glyph = '&';
    g->player.x = g->stores[0].x + (g->stores[0].x < 30 ? off_shop : -off_shop);
    g->player.y = g->stores[0].y;
    g->player.gold = gold;
    mkdir(std::filesystem::path(path).parent_path().c_str(), 0755);
    ASSERT_EQ(write_save_file(path.c_str(), *g, g->player), 0);
    // The newest save is chosen by its time, in whole seconds.
    timespec times[2] = { { std::time(nullptr) - age, 0 }, { std::time(nullptr) - age, 0 } };
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string answer_after(Client& ann, Client& bob, const std::string& answer)
{
    bob.send("L");
    EXPECT_FALSE(bob.frame_with("Game loaded").empty());
    ann.send(answer);
    return ann.frame();
}
}  // namespace

TEST(ServerShop, AnAnswerAfterTheWorldChangedBuysNothingAndLosesNothing)
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
        write_scene(server.file("saves/") + steps[i][0], gold_then[i], 0, age--);
        ann.send("L");
        ASSERT_FALSE(ann.frame_with("Game loaded").empty());
        bob.drain(200);
        ann.send("s");
        ASSERT_FALSE(ann.read_until("or 0 to cancel: ").empty());
        write_scene(server.file("saves/") + steps[i][1], gold_now[i], off_now[i], age--);
        Screen s(answer_after(ann, bob, "1\n"));
        EXPECT_TRUE(s.contains(refusal[i]));
        EXPECT_TRUE(s.contains("Gold: " + std::to_string(gold_now[i])));
        EXPECT_FALSE(s.contains("You bought"));
    }
}
