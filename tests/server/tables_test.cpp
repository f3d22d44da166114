// Joins beside a leader at the map's edge, in-process (descriptors are only numbers).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <thread>
#include <unistd.h>

#include "config/config.hpp"
#include "server/server.hpp"
#include "server/server_internal.hpp"
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

namespace {
PeerAddress v4(const char* host, int port)
{
    sockaddr_storage s {};
    auto* in = reinterpret_cast<sockaddr_in*>(&s);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &in->sin_addr);
    return PeerAddress(s, sizeof *in);
}
PeerAddress v6(const char* host, int port)
{
    sockaddr_storage s {};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&s);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, host, &in6->sin6_addr);
    return PeerAddress(s, sizeof *in6);
}
}  // namespace

TEST(ServerTables, GuessesFromOneAddressCostItAloneAndKeyDerivationsTookEveryCore)
{
    using std::chrono::milliseconds;
    EXPECT_EQ(v6("::ffff:10.0.0.7", 4000).text(), "10.0.0.7:4000");
    EXPECT_TRUE(v6("::ffff:10.0.0.7", 1).same_host(v4("10.0.0.7", 2)));
    EXPECT_FALSE(v6("::1", 1).same_host(v4("127.0.0.1", 1)));
    EXPECT_EQ(v6("2001:db8::1", 5).host(), "2001:db8::1");
    LoginThrottle throttle(milliseconds(60000));
    auto t = std::chrono::steady_clock::now();
    PeerAddress guesser = v4("10.0.0.7", 1), other = v4("10.0.0.8", 1);
    for (int i = 1; i <= 4; ++i)
        EXPECT_FALSE(throttle.record_failure(guesser, t + std::chrono::seconds(i)));
    EXPECT_EQ(throttle.wait_for(guesser, t + std::chrono::seconds(5)), milliseconds(0));
    EXPECT_TRUE(throttle.record_failure(v6("::ffff:10.0.0.7", 9), t + std::chrono::seconds(5)));  // logged once
    for (long long want : { 1000, 2000, 4000, 8000, 16000, 30000, 30000 }) {
        EXPECT_EQ(throttle.wait_for(guesser, t + std::chrono::seconds(6)).count(), want);
        EXPECT_FALSE(throttle.record_failure(guesser, t + std::chrono::seconds(6)));
    }
    EXPECT_EQ(throttle.wait_for(other, t + std::chrono::seconds(6)), milliseconds(0));
    EXPECT_EQ(throttle.wait_for(guesser, t + std::chrono::seconds(67)), milliseconds(0)) << "a quiet minute forgets";
    Turns turns(2);
    ASSERT_TRUE(turns.take(std::nullopt) && turns.take(std::nullopt));
    EXPECT_FALSE(turns.take(std::chrono::steady_clock::now() + milliseconds(50)));
    std::thread later([&] { std::this_thread::sleep_for(milliseconds(50)), turns.give_back(); });
    EXPECT_TRUE(turns.take(std::chrono::steady_clock::now() + milliseconds(5000)));
    later.join();
}
