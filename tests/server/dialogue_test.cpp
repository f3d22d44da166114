// The dialogue before joining: its texts, failed logins, hostile input.
#include "server/server_harness.hpp"

using srv::Client;

const std::string WELCOME = "Welcome to the Server Roguelike! Enter username/password to begin.\r\n" + std::string(srv::MENU);

TEST(ServerDialogue, TextsByteForByteFailuresDisconnectAndGarbageAtEveryPrompt)
{
    srv::Server server;
    const std::string name_prompt = "Login successful.\r\n" + std::string(srv::NAME_PROMPT);
    Client c(server.port());
    srv::talk(c, { { WELCOME, "x\n" }, { std::string(srv::MENU), "R\n" }, { "Choose a username: ", "ann\n" },
                   { "Choose a password: ", "secret\n" }, { "Registration successful.\r\nUsername: ", "ann\n" },
                   { "Password: ", "secret\n" }, { name_prompt, "\n" } });  // an empty name is allowed
    EXPECT_NE(c.read_until("undead.\r\n").find("Choose your class:"), std::string::npos);
    c.send("1\n");
    std::string f = c.frame_with("You have chosen the Fighter class.");
    EXPECT_NE(f.find("\x1b[96m[SERVER] \x1b[15C\x1b[97m\x1b[9D\x1b[30C has entered the dungeon."), std::string::npos);
    // A taken name still goes on to the one login attempt, which fails.
    Client d(server.port());
    srv::talk(d, { { WELCOME, "r\n" }, { "Choose a username: ", "ann\n" }, { "Choose a password: ", "other\n" },
                   { "Username already exists.\r\nUsername: ", "ann\n" }, { "Password: ", "wrong\n" },
                   { "Invalid credentials.\r\n" + std::string(srv::GOODBYE), "" } });
    EXPECT_TRUE(d.wait_closed());
    Client e(server.port());
    e.read_until("Select: ");
    e.shut_write();
    EXPECT_EQ(e.read_until(srv::GOODBYE), srv::GOODBYE);
    EXPECT_TRUE(e.wait_closed());
    // Control and high bytes only: a letter could be a real command.
    std::string garbage;
    for (int i = 0; i < 400; ++i)
        garbage += static_cast<char>(i % 2 ? 0x80 + i % 128 : i % 9);
    Client g(server.port());
    g.read_until("Select: ");
    g.send("\x01\xff\x1b[2J" + garbage + "\n");
    EXPECT_FALSE(g.read_until(srv::MENU).empty());
    g.drain(300);
    g.send("l\n");  // a name cut at 63, the rest of its line dropped
    EXPECT_TRUE(srv::talk(g, { { "Username: ", std::string(300, 'u') + "\n" }, { "Password: ", "x\n" }, { "Invalid credentials.\r\n", "" } }, false));
    EXPECT_TRUE(g.wait_closed());
    Client h(server.port());
    ASSERT_TRUE(srv::login(h, "eve"));
    // A name's control bytes are dropped, and what is beyond 63 bytes.
    h.send("\x1b]0;pwn\x07\x1b[31m" + std::string(200, 'n') + "\n");
    h.read_until("undead.\r\n");
    h.send("1\n");
    f = h.frame();
    EXPECT_EQ(f.find("\x1b]0;"), std::string::npos);
    EXPECT_NE(f.find("]0;pwn[31mnnnn"), std::string::npos);
    h.frame();
    h.send(garbage);  // in the game every read is one key at most
    h.drain(500);
    h.send("/");
    EXPECT_TRUE(srv::talk(h, { { "Enter message: ", garbage + garbage + "\n" } }));
    h.drain(300);
    h.send("5");
    EXPECT_FALSE(h.frame_with("Turn: ").empty());
    Client late(server.port());
    EXPECT_EQ(late.read_until("Select: "), WELCOME);
}

TEST(ServerDialogue, BareLineFeedsDrewAStaircaseInCharacterMode)
{
    srv::Server server;
    Client c(server.port());
    std::string seen = c.read_until("Select: ");
    for (auto [reply, until] : std::vector<std::pair<std::string, std::string>> {
             { "x\n", "Select: " }, { "r\n", "username: " }, { "cr\n", "password: " }, { "pw\n", "Username: " },
             { "cr\n", "Password: " }, { "pw\n", "username: " }, { "Cr\n", "undead.\r\n" } }) {
        c.send(reply);
        seen += c.read_until(until);
    }
    c.send("1\n");
    seen += c.frame() + c.frame();
    for (const char* key : { "?", "S", "/" }) {
        c.send(key);
        seen += c.read_until(*key == '?' ? "return to the game..." : *key == 'S' ? "Game saved" : "Enter message: ");
    }
    c.send("\n");
    c.send("q");
    seen += c.frame();
    c.send("q");
    seen += c.read_until(srv::GOODBYE);
    EXPECT_TRUE(seen.find("Choose your class:") != std::string::npos && seen.find(srv::GOODBYE) != std::string::npos);
    for (std::size_t at = seen.find('\n'); at != std::string::npos; at = seen.find('\n', at + 1))
        ASSERT_TRUE(at > 0 && seen[at - 1] == '\r') << testing::PrintToString(seen.substr(at < 40 ? 0 : at - 40, 41));
}
