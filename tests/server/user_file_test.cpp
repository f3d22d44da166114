// The server with a users.dat it cannot use, and still serving afterwards.
#include "server/server_harness.hpp"

#include <sys/stat.h>

// A FIFO named users.dat held a login thread (and its pre-join slot) forever,
// and a 1 TiB sparse one aborted the whole server with std::bad_alloc.
TEST(ServerUserFile, FifoOrHugeUsersDatHungOrAbortedTheServer)
{
    srv::Server server;
    auto refused = [&server] {
        srv::Client c(server.port());
        return srv::talk(c, { { "Select: ", "r\n" }, { "Choose a username: ", "ann\n" }, { "Choose a password: ", "pw\n" },
                              { "Registration failed: could not save the account.\r\nUsername: ", "ann\n" }, { "Password: ", "pw\n" },
                              { "Invalid credentials.\r\n" + std::string(srv::GOODBYE), "" } }, false)
            && c.wait_closed();
    };
    const std::string users = server.file("users.dat");
    ASSERT_EQ(mkfifo(users.c_str(), 0600), 0);
    EXPECT_TRUE(refused()) << "FIFO";
    std::filesystem::remove(users);
    test::write_file(users, "");
    std::filesystem::resize_file(users, std::uintmax_t { 1 } << 40);
    EXPECT_TRUE(refused()) << "1 TiB";
    std::filesystem::remove(users);
    srv::Client d(server.port());
    EXPECT_TRUE(srv::join(d, "bea", "Bea", '1'));
}
