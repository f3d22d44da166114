// The client tables in-process: joining beside the leader without leaving the
// map, the full game, and leaving with slots, records and items shifted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "server/server.hpp"
#include "world/game.hpp"
#include "world/items.hpp"

namespace {

std::string last_chat_line(const Game& g)
{
    return g.chat_lines[(g.chat_count + CHAT_LINES - 1) % CHAT_LINES];
}

// Descriptors here are only numbers: nothing in these steps writes to them.
TEST(ServerTables, JoiningNearTheEdgeAndLeavingKeepEveryRecordInItsPlace)
{
    std::srand(7);
    Game& g = server_game();
    ClientTables& t = client_tables();
    ASSERT_EQ(join_server_game(10, "Ann"), 0);
    g.player.x = 57;
    ASSERT_EQ(join_server_game(11, "Bob"), 1);
    ASSERT_EQ(join_server_game(12, "Cid"), 2);
    ASSERT_EQ(join_server_game(13, std::string(80, 'd').c_str()), 3);
    EXPECT_EQ(join_server_game(14, "Eve"), -1);
    EXPECT_EQ(t.client_count, 4);
    EXPECT_EQ(std::string(t.client_names[3]), std::string(63, 'd'));

    // Right of the leader while that stays on the map, mirrored after.
    EXPECT_EQ(g.others[0].x, 59);
    EXPECT_EQ(g.others[1].x, 53);
    EXPECT_EQ(g.others[2].x, 51);
    for (const Player& p : g.others) {
        EXPECT_EQ(p.y, g.player.y);
        EXPECT_EQ(p.glyph, '&');
        EXPECT_EQ(p.hp, 100);
        EXPECT_EQ(p.alive, 1);
    }
    EXPECT_EQ(g.other_count, 3);

    g.others[0].inventory[0] = create_item(ITEM_BOW);  // Bob's, freed when he leaves
    g.others[1].inventory[0] = create_item(ITEM_SWORD);
    g.others[1].weapon = g.others[1].inventory[0];
    g.others[1].gold = 42;

    remove_client(1);
    EXPECT_EQ(last_chat_line(g), "\x1b[96m[SERVER]\x1b[15C\x1b[97m\x1b[8DBob\x1b[30C has left the dungeon.");
    EXPECT_EQ(t.client_count, 3);
    EXPECT_EQ(t.client_fds[1], 12);
    EXPECT_EQ(std::string(t.client_names[1]), "Cid");
    EXPECT_EQ(t.client_fds[2], 13);
    EXPECT_EQ(g.others[0].gold, 42);  // Cid's own record now in slot 1
    EXPECT_EQ(g.others[0].x, 53);
    ASSERT_NE(g.others[0].weapon, nullptr);
    EXPECT_EQ(g.others[0].weapon->kind, ITEM_SWORD);
    EXPECT_EQ(g.others[2].alive, 0);
    EXPECT_EQ(g.others[2].inventory[0], nullptr);
    EXPECT_EQ(g.other_count, 2);

    remove_client(0);  // the leader: Cid takes over as '@'
    EXPECT_EQ(g.player.gold, 42);
    EXPECT_EQ(g.player.glyph, '@');
    EXPECT_STREQ(g.player.color, "\x1b[36m");
    EXPECT_EQ(t.client_fds[0], 12);
    EXPECT_EQ(g.other_count, 1);

    remove_client(7);  // no such slot: announced as Unknown, nothing moves
    EXPECT_NE(last_chat_line(g).find("Unknown"), std::string::npos);
    EXPECT_EQ(t.client_count, 2);

    remove_client(1);
    remove_client(0);  // the last one: its record stays for the next game
    EXPECT_EQ(t.client_count, 0);
    EXPECT_EQ(g.other_count, 0);
    EXPECT_EQ(g.player.gold, 42);

    // An empty server: the next client starts a new level as the leader.
    int level = g.level;
    ASSERT_EQ(join_server_game(20, "Fay"), 0);
    EXPECT_EQ(g.level, level);
    EXPECT_EQ(g.player.glyph, '@');
    remove_client(0);
    free_player_items(g);
}

}  // namespace
