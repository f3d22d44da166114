// Clients that vanish or stop reading, floods of short and garbage
// connections, a port already taken, and the daemon's life cycle.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "server/server_harness.hpp"

using srv::Client;
using srv::Server;

namespace {
using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(ServerRobustness, SilentAndVanishingClientsDoNotStallThePlayingOnes)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Client ann(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1'));
    Client bob(server.port());
    ASSERT_TRUE(srv::join(bob, "user_bob", "Bob", '1'));
    Client cid(server.port(), 4096);
    ASSERT_TRUE(srv::join(cid, "user_cid", "Cid", '1'));
    ann.drain(200);
    bob.drain(200);

    // Bob sends a key and is gone before its frame is written.
    bob.send("5");
    bob.close_now();
    ASSERT_FALSE(ann.frame_with("Bob\x1b[30C has left the dungeon.").empty());

    // Cid never reads again. Ann plays on; once Cid's buffers are full the
    // broadcast gives up on Cid within the send limit and Cid is removed.
    long long worst = 0;
    bool cid_gone = false;
    auto start = Clock::now();
    for (int i = 0; i < 3000 && !cid_gone && ms_since(start) < 20000; ++i) {
        auto t = Clock::now();
        ann.send(i % 2 ? "c" : "F");
        std::string f = ann.frame(5000);
        ASSERT_FALSE(f.empty()) << "command " << i;
        worst = std::max(worst, ms_since(t));
        cid_gone = f.find("Cid\x1b[30C has left the dungeon.") != std::string::npos;
    }
    EXPECT_TRUE(cid_gone);
    EXPECT_LT(worst, 3500);
    ann.drain(200);
    ann.send("5");
    EXPECT_FALSE(ann.frame_with("You wait a turn.").empty());
}

TEST(ServerRobustness, FloodsOfShortAndGarbageConnectionsLeakNothing)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Client ann(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1'));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int fds = server.count_fds();
    int threads = server.count_threads();

    for (int i = 0; i < 200; ++i) {
        Client c(server.port());
        if (i % 2)
            c.read_until("Select: ", 2000);
    }
    std::string garbage(2000, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) % 256);
    for (int i = 0; i < 50; ++i) {
        Client c(server.port());
        c.send(garbage);
        c.drain(5);
    }
    ann.send("5");
    EXPECT_FALSE(ann.frame_with("You wait a turn.").empty());

    // Threads end a moment after their peer closes.
    auto start = Clock::now();
    while ((server.count_fds() > fds || server.count_threads() > threads) && ms_since(start) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.count_fds(), fds);
    EXPECT_EQ(server.count_threads(), threads);
    Client late(server.port());
    EXPECT_TRUE(srv::join(late, "user_late", "Late", '2'));
}

TEST(ServerRobustness, PortInUseEndsWithStatusOneAndOneLineOnStandardError)
{
    int port = srv::free_port();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);

    test::TempDir dir;
    test::write_file(dir.file("mzdelve.cfg"), "PORT=" + std::to_string(port) + "\n");
    test::Child child({ test::program_path(), "-s" },
                      { .pty = false, .env = { "RL_CONFIG_DIR=" + dir.path() }, .cwd = dir.path() });
    std::string out = test::read_available(child.fd(), 300, 5000);
    EXPECT_EQ(child.wait_exit(5000), 1);
    EXPECT_EQ(out, "Cannot listen on port " + std::to_string(port) + ": Address already in use\n");
    close(holder);
}

TEST(ServerRobustness, DaemonWritesItsPidFileServesAndRemovesItOnSigterm)
{
    Server server({}, { "-s", "-d" });
    EXPECT_EQ(server.wait_exit(5000), 0);  // the parent ends at once
    std::string pid_file = server.dir().file("rl_server.pid");
    auto start = Clock::now();
    while (!test::file_exists(pid_file) && ms_since(start) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string text = test::read_file(pid_file);
    ASSERT_FALSE(text.empty());
    pid_t pid = std::stoi(text);
    ASSERT_GT(pid, 1);
    EXPECT_EQ(text, std::to_string(pid) + "\n");

    ASSERT_TRUE(server.wait_listening());
    {
        Client c(server.port());
        EXPECT_TRUE(srv::join(c, "user_dmn", "Dmn", '1'));
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    start = Clock::now();
    while ((test::file_exists(pid_file) || kill(pid, 0) == 0) && ms_since(start) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(test::file_exists(pid_file));
    EXPECT_NE(kill(pid, 0), 0);
}

}  // namespace
