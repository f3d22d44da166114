// The server with a users.dat it cannot use, and still serving afterwards.
#include "server/server_harness.hpp"

#include <sys/stat.h>

// A FIFO named users.dat held a login thread (and its pre-join slot) forever,
// and a 1 TiB sparse one aborted the whole server with std::bad_alloc.
TEST(ServerUserFile, FifoOrHugeUsersDatHungOrAbortedTheServer)
{
    srv::Server server;
    const std::string users = server.file("users.dat");
    auto make = [&users](bool fifo) {
        std::filesystem::remove(users);
        if (fifo)
            return mkfifo(users.c_str(), 0600) == 0;
        test::write_file(users, "");
        return truncate(users.c_str(), off_t { 1 } << 40) == 0;
    };
    for (bool fifo : { true, false }) {
        SCOPED_TRACE(fifo ? "FIFO" : "1 TiB");
        ASSERT_TRUE(make(fifo));
        srv::Client c(server.port());
        EXPECT_TRUE(srv::talk(c, { { "Select: ", "r\n" }, { "Choose a username: ", "ann\n" }, { "Choose a password: ", "pw\n" },
                                   { "Registration failed: could not save the account.\nUsername: ", "ann\n" }, { "Password: ", "pw\n" },
                                   { "Invalid credentials.\n" + std::string(srv::GOODBYE), "" } }, false));
        EXPECT_TRUE(c.wait_closed());
    }
    std::filesystem::remove(users);
    srv::Client d(server.port());
    EXPECT_TRUE(srv::join(d, "bea", "Bea", '1'));
}
