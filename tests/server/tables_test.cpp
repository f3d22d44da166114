// Joins beside a leader at the map's edge, in-process (descriptors are only numbers).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <unistd.h>

#include "config/config.hpp"
#include "server/server.hpp"
#include "term/term.hpp"
#include "world/game.hpp"
#include "world/items.hpp"

TEST(ServerTables, JoiningNearTheEdgeStaysOnTheMap)
{
    Game& g = server_game();
    ASSERT_EQ(join_server_game(10, "Ann"), 0);
    g.player.x = 57;
    for (int fd : { 11, 12, 13 })
        ASSERT_EQ(join_server_game(fd, "X"), fd - 10);
    EXPECT_EQ(join_server_game(14, "Eve"), -1);
    // Right of the leader while that stays on the map, mirrored after.
    EXPECT_EQ(g.others[0].x, 59);
    EXPECT_EQ(g.others[1].x, 53);
    EXPECT_EQ(g.others[2].x, 51);
    for (int slot = 3; slot >= 0; --slot)
        remove_client(slot);
    EXPECT_EQ(client_tables().client_count, 0);
    free_player_items(g);
}

TEST(ServerTables, AServerThatCouldNotStartLeftLocalDialoguesBounded)
{
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    socklen_t len = sizeof a;
    ASSERT_TRUE(bind(holder, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(holder, 1) == 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    set_server_port(ntohs(a.sin_port));
    EXPECT_NE(run_server().text.find("Address already in use"), std::string::npos);
    EXPECT_EQ(dialogue_wait_ms(), -1) << "the local class prompt and shop would give up";
    close(holder);
}
