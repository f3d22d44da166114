// The bounds that keep one client from holding the server: the pre-join
// dialogue (count and time) and the class dialogue under the game lock.
#include "server/server_harness.hpp"

using srv::Client;

TEST(ServerLimits, WaitingConnectionsAreCountedAndCutOffAndAnUnansweredClassPromptGivesUp)
{
    auto tuned = srv::Server::tuned({ "--prejoin-ms", "2500", "--answer-ms", "500", "--per-address", "20" });
    srv::Server& server = *tuned;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the readiness probe counts too
    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < 16; ++i) {
        waiting.push_back(std::make_unique<Client>(server.port()));
        ASSERT_FALSE(waiting.back()->read_until("Select: ").empty()) << i;
    }
    Client extra(server.port());
    EXPECT_EQ(extra.read_until("Server busy. Try again later.\r\n"), "Server busy. Try again later.\r\n");
    EXPECT_TRUE(extra.wait_closed());
    waiting[0]->send("l\n");  // one in the middle of its login is cut off too
    waiting[0]->read_until("Username: ");
    for (auto& c : waiting) {
        EXPECT_FALSE(c->read_until(srv::GOODBYE, 6000).empty());
        EXPECT_TRUE(c->wait_closed());
    }
    // A joining player who never answers the class prompt: the lock is given back.
    Client c(server.port());
    ASSERT_TRUE(srv::login(c, "fay"));
    c.send("Fay\n");
    c.read_until("undead.\r\n");
    std::string f = c.frame();
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f.find("You have chosen"), std::string::npos);
    c.frame();
    c.send("5");
    EXPECT_FALSE(c.frame_with("You wait a turn.").empty());
}

TEST(ServerLimits, QueuedWrongAnswersAndSlowReadsOutlivedThePreJoinLimit)
{
    auto server = srv::Server::tuned({ "--prejoin-ms", "1500", "--per-address", "16" });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the readiness probe counts too
    // Half keep thousands of wrong menu answers queued, half stream a name
    // without its line end; all read what they are sent slowly.
    std::vector<std::unique_ptr<Client>> attackers;
    std::vector<long long> started;
    std::string wrong;
    for (int i = 0; i < 3000; ++i)
        wrong += "x\n";
    for (int i = 0; i < 16; ++i) {
        attackers.push_back(std::make_unique<Client>(server->port(), 4096));
        started.push_back(srv::now_ms());
        attackers.back()->send(i % 2 ? "l\n" + std::string(20000, 'n') : wrong);
    }
    std::vector<long long> ended(attackers.size(), 0);
    for (long long until = srv::now_ms() + 6000; srv::now_ms() < until;) {
        for (std::size_t i = 0; i < attackers.size(); ++i) {
            if (!ended[i] && i % 2)
                attackers[i]->send(std::string(512, 'n'));
            if (!ended[i] && !attackers[i]->read_some(64))
                ended[i] = srv::now_ms();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (std::size_t i = 0; i < attackers.size(); ++i) {
        EXPECT_NE(ended[i], 0) << i;
        EXPECT_LE(ended[i] - started[i], 1500 + 1000) << i;
    }
    Client honest(server->port());
    EXPECT_TRUE(srv::join(honest, "user_hon", "Hon", '1'));
    EXPECT_NE(server->output().find("login not finished in 1.5 s"), std::string::npos);
}

TEST(ServerLimits, PasswordGuessingWasFree)
{
    auto server = srv::Server::tuned({ "--per-address", "16", "--login-window-ms", "3000" });
    const in_addr_t guesser = INADDR_LOOPBACK + 1, other = INADDR_LOOPBACK + 2;
    {
        Client reg(server->port(), 0, other);
        ASSERT_TRUE(srv::talk(reg, { { "Select: ", "r\n" }, { "username: ", "ann\n" }, { "password: ", "pw\n" }, { "Username: ", "" } }, false));
    }
    for (int i = 0; i < 5; ++i) {
        Client guess(server->port(), 0, guesser);
        guess.send("l\nann\nguess" + std::to_string(i) + "\n");
        ASSERT_FALSE(guess.read_until("Invalid credentials.\r\n").empty()) << i;
    }
    // Which of two logins with the right password gets in first: the
    // guessing address's waits, the other address's does not.
    auto first_in = [&](int head_start_ms) {
        Client a(server->port(), 0, guesser), b(server->port(), 0, other);
        a.read_until("Select: "), b.read_until("Select: ");
        long long sent = srv::now_ms();
        a.send("l\nann\npw\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(head_start_ms));
        b.send("l\nann\npw\n");
        const std::string done = "Login successful.\r\n";
        char first = 0;
        long long a_took = 0;
        for (long long end = srv::now_ms() + 10000; srv::now_ms() < end && (!a_took || !first);) {
            if (!a_took && !a.read_until(done, 20).empty())
                a_took = srv::now_ms() - sent, first = first ? first : 'a';
            if (first != 'b' && !b.read_until(done, 20).empty())
                first = first ? first : 'b';
        }
        return std::make_pair(first, a_took);
    };
    auto [first, a_took] = first_in(0);
    EXPECT_EQ(first, 'b');
    EXPECT_GE(a_took, 1000);
    // A quiet window forgets the guesses.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(first_in(300).first, 'a');
    std::string log = server->output();
    EXPECT_NE(log.find("throttle 127.0.0.2 logins wait after 5 failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("throttle 127.0.0.3"), std::string::npos);
}
