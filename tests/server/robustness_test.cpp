// Vanishing and silent clients, connection floods, a taken port, the daemon.
#include "server/server_harness.hpp"

using srv::Client;

TEST(ServerRobustness, VanishingSilentAndFloodingClientsNeitherStallNorLeak)
{
    srv::Server server;
    Client ann(server.port()), bob(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '1'));
    ann.drain(200);
    bob.send("5");  // gone before its frame is written
    bob.close_now();
    ASSERT_FALSE(ann.frame_with("Bob\x1b[30C has left the dungeon.").empty());
    // Floods of short and garbage connections leave no descriptor or thread behind.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int fds = server.count("fd"), threads = server.count("task");
    for (int i = 0; i < 100; ++i) {
        Client c(server.port());
        if (i % 2)
            c.read_until("Select: ", 2000);
    }
    std::string garbage(2000, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) % 256);
    for (int i = 0; i < 20; ++i) {
        Client c(server.port());
        c.send(garbage);
    }
    ann.send("5");
    EXPECT_FALSE(ann.frame_with("You wait a turn.").empty());
    EXPECT_TRUE(srv::wait_for([&] { return server.count("fd") == fds && server.count("task") == threads; }));
}

TEST(ServerRobustness, AShortListenBacklogMadeConnectionsWaitForARetransmittedSyn)
{
    srv::Server server;
    std::string cmd = "ss -ltnH 'sport = :" + std::to_string(server.port()) + "'";
    std::unique_ptr<FILE, decltype(&pclose)> ss(popen(cmd.c_str(), "r"), pclose);
    ASSERT_TRUE(ss);
    char state[32] = {};
    int queued = 0, backlog = 0;
    ASSERT_EQ(std::fscanf(ss.get(), "%31s %d %d", state, &queued, &backlog), 3);
    EXPECT_GE(backlog, 128);
}

TEST(ServerRobustness, PortInUseEndsWithStatusOne)
{
    int port = srv::free_port(), holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = srv::address(port, INADDR_ANY);
    ASSERT_TRUE(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(holder, 1) == 0);
    srv::Server server({}, { "-s" }, port);
    EXPECT_EQ(server.output(), "Cannot listen on port " + std::to_string(port) + ": Address already in use\n");
    EXPECT_EQ(server.wait_exit(), 1);
    close(holder);
}

TEST(ServerRobustness, DaemonPidFileLivesAsLongAsTheServer)
{
    srv::Server server({}, { "-s", "-d" });
    EXPECT_EQ(server.wait_exit(), 0);  // the parent ends at once
    std::string pid_file = server.file("rl_server.pid");
    ASSERT_TRUE(srv::wait_for([&] { return test::file_exists(pid_file); }));
    std::string text = test::read_file(pid_file);
    pid_t pid = std::atoi(text.c_str());
    ASSERT_GT(pid, 1);
    EXPECT_EQ(text, std::to_string(pid) + "\n");
    {
        Client c(server.port());
        EXPECT_TRUE(srv::join(c, "user_dmn", "Dmn", '1'));
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(srv::wait_for([&] { return !test::file_exists(pid_file) && kill(pid, 0) != 0; }));
}
