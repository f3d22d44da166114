// Joins beside a leader at the map's edge, in-process (descriptors are only numbers).
#include <gtest/gtest.h>
#include "server/server.hpp"
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
