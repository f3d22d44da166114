// The connection dialogue before a client joins: menu, registration, login,
// chat name, hostile input at every prompt and the limits on waiting clients.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sys/socket.h>
#include <thread>

#include "server/server_harness.hpp"

using srv::Client;
using srv::Server;

namespace {

std::string welcome_and_menu()
{
    return "Welcome to the Server Roguelike! Enter username/password to begin.\n" + std::string(srv::MENU);
}

TEST(ServerDialogue, MenuRegistrationLoginAndChatNameTexts)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Client c(server.port());
    EXPECT_EQ(c.read_until("Select: "), welcome_and_menu());
    c.send("x\n");
    EXPECT_EQ(c.read_until("Select: "), std::string(srv::MENU));
    c.send("\n");
    EXPECT_EQ(c.read_until("Select: "), std::string(srv::MENU));
    c.send("R\n");
    EXPECT_EQ(c.read_until("Choose a username: "), "Choose a username: ");
    c.send("ann\n");
    c.read_until("Choose a password: ");
    c.send("secret\n");
    EXPECT_EQ(c.read_until("Username: "), "Registration successful.\nUsername: ");
    c.send("ann\n");
    c.read_until("Password: ");
    c.send("secret\n");
    EXPECT_EQ(c.read_until(srv::NAME_PROMPT), "Login successful.\n" + std::string(srv::NAME_PROMPT));
    // An empty name is allowed; the join line then names nobody.
    c.send("\n");
    std::string menu = c.read_until("undead.\n");
    EXPECT_NE(menu.find("Choose your class:"), std::string::npos);
    c.send("1\n");
    std::string f = c.frame_with("You have chosen the Fighter class.");
    ASSERT_FALSE(f.empty());
    EXPECT_NE(f.find("\x1b[96m[SERVER] \x1b[15C\x1b[97m\x1b[9D\x1b[30C has entered the dungeon."), std::string::npos);
}

TEST(ServerDialogue, FailedLoginAndEndOfInputDisconnectWithoutJoining)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    {
        Client c(server.port());
        c.read_until("Select: ");
        c.send("r\n");
        c.read_until("Choose a username: ");
        c.send("bea\n");
        c.read_until("Choose a password: ");
        c.send("right\n");
        c.read_until("Username: ");
        c.send("bea\n");
        c.read_until("Password: ");
        c.send("wrong\n");
        EXPECT_EQ(c.read_until(srv::GOODBYE), "Invalid credentials.\n" + std::string(srv::GOODBYE));
        EXPECT_TRUE(c.wait_closed());
    }
    {
        // A registration that fails still goes on to the one login attempt.
        Client c(server.port());
        c.read_until("Select: ");
        c.send("r\n");
        c.read_until("Choose a username: ");
        c.send("bea\n");
        c.read_until("Choose a password: ");
        c.send("other\n");
        EXPECT_EQ(c.read_until("Username: "), "Username already exists.\nUsername: ");
        c.send("nobody\n");
        c.read_until("Password: ");
        c.send("x\n");
        EXPECT_EQ(c.read_until(srv::GOODBYE), "Invalid credentials.\n" + std::string(srv::GOODBYE));
        EXPECT_TRUE(c.wait_closed());
    }
    {
        Client c(server.port());
        c.read_until("Select: ");
        shutdown(c.fd(), SHUT_WR);
        EXPECT_EQ(c.read_until(srv::GOODBYE), std::string(srv::GOODBYE));
        EXPECT_TRUE(c.wait_closed());
    }
    // Nobody joined: a new client becomes the leader of a fresh game.
    Client d(server.port());
    ASSERT_TRUE(srv::join(d, "dan", "Dan", '1'));
    d.send("F");
    EXPECT_FALSE(d.frame_with("The party leader does not need to follow anyone.").empty());
}

TEST(ServerDialogue, GarbageAndOverlongLinesAtEveryPromptLeaveTheServerServing)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    // Control and high bytes only: a letter among them could be a real
    // command (quit, shop, help) and would make the outcome depend on how
    // the bytes are split into reads.
    std::string garbage;
    for (int i = 0; i < 400; ++i) {
        int b = (i * 37 + 11) % 160;
        garbage += static_cast<char>(b < 32 ? (b == '\n' ? 0 : b) : b + 96);
    }
    {
        // The menu reads 127 bytes at a time and shows itself again for
        // every piece that is not a choice.
        Client c(server.port());
        c.read_until("Select: ");
        c.send("\x01\xff\x1b[2J" + garbage + "\n");
        EXPECT_FALSE(c.read_until(srv::MENU).empty());
        c.drain(300);
        c.send("l\n");
        c.read_until("Username: ");
        c.send(std::string(300, 'u') + "\n");  // the name cut at 63, the rest read as the password
        EXPECT_FALSE(c.read_until("Invalid credentials.\n").empty());
        EXPECT_TRUE(c.wait_closed());
    }
    {
        Client c(server.port());
        c.read_until("Select: ");
        c.send("r\n");
        c.read_until("Choose a username: ");
        c.send("eve\n");
        c.read_until("Choose a password: ");
        c.send("secret\n");
        c.read_until("Username: ");
        c.send("eve\n");
        c.read_until("Password: ");
        c.send("secret\n");
        c.read_until(srv::NAME_PROMPT);
        // A name of control bytes and 200 letters: stored without the
        // control bytes and cut; what is left on the line goes to the class
        // prompt, which then does not choose a class.
        c.send("\x1b]0;pwn\x07\x1b[31m" + std::string(200, 'n') + "\n");
        c.read_until("undead.\n");
        std::string f = c.frame();
        ASSERT_FALSE(f.empty()) << c.drain(500);
        EXPECT_EQ(f.find("\x1b]0;"), std::string::npos);
        EXPECT_NE(f.find("]0;pwn[31mnnnn"), std::string::npos);
        c.frame();
        // Garbage keys in the game: every read is one key at most.
        c.send(garbage);
        EXPECT_FALSE(c.frame().empty());
        c.drain(500);
        c.send("/");
        c.read_until("Enter message: ");
        c.send(garbage + garbage + "\n");
        EXPECT_FALSE(c.frame().empty());
        c.drain(300);
        c.send("5");
        EXPECT_FALSE(c.frame_with("Turn: ").empty());
    }
    Client late(server.port());
    EXPECT_EQ(late.read_until("Select: "), welcome_and_menu());
}

TEST(ServerDialogue, TooManyWaitingConnectionsAreTurnedAwayAndSlowOnesCutOff)
{
    Server server({ "DELVE_PREJOIN_LIMIT_MS=1500" });
    ASSERT_TRUE(server.wait_listening());
    // Let the readiness probe's own connection end first: it counts too.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < 16; ++i) {
        waiting.push_back(std::make_unique<Client>(server.port()));
        ASSERT_FALSE(waiting.back()->read_until("Select: ").empty()) << i;
    }
    Client extra(server.port());
    EXPECT_EQ(extra.read_until("Server busy. Try again later.\n"), "Server busy. Try again later.\n");
    EXPECT_TRUE(extra.wait_closed());

    // Nobody of the sixteen joins in time: each is told goodbye and closed,
    // even one in the middle of typing its login.
    waiting[0]->send("l\n");
    waiting[0]->read_until("Username: ");
    for (auto& c : waiting) {
        EXPECT_FALSE(c->read_until(srv::GOODBYE, 4000).empty());
        EXPECT_TRUE(c->wait_closed());
    }
    Client again(server.port());
    EXPECT_EQ(again.read_until("Select: "), welcome_and_menu());
}

TEST(ServerDialogue, ClassDialogueThatGetsNoAnswerGivesUpAndThePlayerJoinsAnyway)
{
    Server server({ "DELVE_DIALOGUE_WAIT_MS=500" });
    ASSERT_TRUE(server.wait_listening());
    Client c(server.port());
    c.read_until("Select: ");
    c.send("r\n");
    c.read_until("Choose a username: ");
    c.send("fay\n");
    c.read_until("Choose a password: ");
    c.send("secret\n");
    c.read_until("Username: ");
    c.send("fay\n");
    c.read_until("Password: ");
    c.send("secret\n");
    c.read_until(srv::NAME_PROMPT);
    c.send("Fay\n");
    c.read_until("undead.\n");
    // No answer: the lock is given back after the wait and the game goes on.
    std::string f = c.frame(3000);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f.find("You have chosen"), std::string::npos);
    c.frame();
    c.send("5");
    EXPECT_FALSE(c.frame_with("You wait a turn.").empty());
}

}  // namespace
