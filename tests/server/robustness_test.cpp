// Vanishing and silent clients, connection floods, a taken port, the daemon.
#include <sys/stat.h>

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
    ASSERT_FALSE(ann.frame_with("Bob\x1b[30C has lost the link.").empty());
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
    struct stat st {};
    ASSERT_EQ(stat(pid_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u) << "others could point it at another process";
    {
        Client c(server.port());
        EXPECT_TRUE(srv::join(c, "user_dmn", "Dmn", '1'));
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(srv::wait_for([&] { return !test::file_exists(pid_file) && kill(pid, 0) != 0; }));
}

TEST(ServerRobustness, IPv6ClientsWereRefusedAndBindKeepsTheGamePortToOneAddress)
{
    auto server = srv::Server::tuned({ "--per-address", "2" });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the readiness probe counts too
    Client six(server->port(), Client::Ipv6 {});
    if (!six.connected())
        GTEST_SKIP() << "no IPv6 loopback";
    // IPv4 clients reach the one IPv6 socket and count as their IPv4 address.
    Client a(server->port()), b(server->port());
    ASSERT_FALSE(a.read_until("Select: ").empty() || b.read_until("Select: ").empty());
    Client third(server->port());
    EXPECT_FALSE(third.read_until("Server busy.").empty());
    ASSERT_TRUE(srv::join(six, "user_six", "Six", '1'));
    six.send("5");
    EXPECT_FALSE(six.frame_with("You wait a turn.").empty());
    std::string log = server->output();
    EXPECT_NE(log.find("join [::1]:"), std::string::npos) << log;
    EXPECT_NE(log.find("refuse 127.0.0.1:"), std::string::npos) << log;
    EXPECT_EQ(log.find("::ffff:"), std::string::npos) << log;

    srv::Server bound({}, { "-s" }, srv::free_port(), test::program_path(), "BIND=127.0.0.1\n");
    EXPECT_FALSE(Client(bound.port()).read_until("Select: ").empty());
    EXPECT_FALSE(Client(bound.port(), 0, INADDR_LOOPBACK + 1).read_until("Select: ", 1000).empty()) << "a local source address is fine";
    sockaddr_in elsewhere = srv::address(bound.port(), INADDR_LOOPBACK + 1);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere), 0);
    close(fd);
    EXPECT_FALSE(Client(bound.port(), Client::Ipv6 {}).connected());
}
