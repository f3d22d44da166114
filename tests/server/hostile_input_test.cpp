// Input as telnet clients, slow links and mischief send it: lines split over
// packets or packed into one, telnet negotiation, a key per packet, C1 and
// bidirectional controls meant for other players' screens.
#include "server/server_harness.hpp"

using srv::Client;

namespace {
const std::string IAC = "\xff";

// Each piece in a packet of its own.
void send_apart(Client& c, const std::vector<std::string>& pieces)
{
    for (const std::string& piece : pieces) {
        c.send(piece);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
}

// Every byte in a packet of its own, Enter as telnet's character mode sends it.
void type_keys(Client& c, const std::string& text)
{
    std::vector<std::string> keys;
    for (char ch : text)
        keys.push_back(ch == '\n' ? std::string("\r\0", 2) : std::string(1, ch));
    send_apart(c, keys);
}
}  // namespace

TEST(ServerHostileInput, LinesSplitOverPacketsOrPackedInOneWereMisread)
{
    // The shipped program ignores what once were test switches.
    srv::Server server({ "DELVE_PREJOIN_LIMIT_MS=abc", "DELVE_DIALOGUE_WAIT_MS=1" });
    Client split(server.port());
    split.read_until("Select: ");
    send_apart(split, { "r", "\n" });
    split.read_until("Choose a username: ");
    send_apart(split, { "sp", "li", "tname\n" });
    split.read_until("Choose a password: ");
    send_apart(split, { "pass", "word\n" });
    EXPECT_EQ(split.read_until("Username: "), "Registration successful.\r\nUsername: ");
    send_apart(split, { "splitname\n", "pass", "word\n" });
    EXPECT_FALSE(split.read_until("Login successful.\r\n").empty());
    Client packed(server.port());
    packed.read_until("Select: ");
    packed.send("r\nbob\nbobpw\nbob\nbobpw\nBob\n2\n");
    EXPECT_FALSE(packed.frame_with("You have chosen the Wizard class.").empty());
}

TEST(ServerHostileInput, TelnetNegotiationAndCharacterModeReachedNamesAndKeys)
{
    srv::Server server;
    Client c(server.port());
    c.send(IAC + "\xfb\x18" + IAC + "\xfd\x01");  // WILL TERMINAL-TYPE, DO ECHO
    c.read_until("Select: ");
    type_keys(c, "r\n");
    c.read_until("Choose a username: ");
    c.send("tel" + IAC + "\xfb\x1f" + "net" + IAC + std::string("\xfa\x18\0vt100", 8) + IAC + "\xf0" + "\r\n");
    c.read_until("Choose a password: ");
    type_keys(c, "pw\n");
    EXPECT_EQ(c.read_until("Username: "), "Registration successful.\r\nUsername: ");
    c.send("telnet\r\n");  // line mode sends CR LF, character mode CR NUL: the same name
    c.read_until("Password: ");
    type_keys(c, "pw\n");
    EXPECT_FALSE(c.read_until("Login successful.\r\n").empty());
    type_keys(c, "Tel\n");
    c.read_until("undead.\r\n");
    c.send(IAC + "\xfd\x03" + "3" + IAC + IAC + "\r\n");
    std::string f = c.frame_with("You have chosen the Rogue class.");
    EXPECT_EQ(f.find('\xff'), std::string::npos);
    c.frame();
    c.send(IAC + "\xf1");  // a NOP alone is no key
    c.send("5");
    EXPECT_FALSE(c.frame_with("You wait a turn.").empty());
}

TEST(ServerHostileInput, C1AndBidiControlsReachedOtherPlayersScreens)
{
    srv::Server server;
    Client ann(server.port()), bob(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "B\x9b" "1m\xc2\x9b" "2Jo\xe2\x80\xae" "b", '1'));
    ann.drain(200);
    bob.send("/");
    bob.read_until("Enter message: ");
    bob.send("x\x9b" "2Jy\xc2\x85z\xe2\x81\xa6 caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80 \xc0\xaf\xed\xa0\x80.\n");
    std::string f = ann.frame_with("caf");
    EXPECT_NE(f.find("B1m2Job\x1b[15C\x1b[97mx2Jyz caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80 ."), std::string::npos) << f;
    for (const char* bad : { "\x9b", "\xc2\x85", "\xe2\x80\xae", "\xe2\x81\xa6", "\xc0", "\xed\xa0" })
        EXPECT_EQ(f.find(bad), std::string::npos) << testing::PrintToString(bad);
}

TEST(ServerHostileInput, ChatLinesWereCutInsideACharacter)
{
    srv::Server server;
    Client ann(server.port()), bob(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '1'));
    ann.drain(200);
    std::string two_byte;
    for (int i = 0; i < 127; ++i)
        two_byte += "\xc3\xa9";
    bob.send("/");
    bob.read_until("Enter message: ");
    bob.send(two_byte + "\n");
    std::string f = ann.frame_with("\xc3\xa9\xc3\xa9");
    ASSERT_FALSE(f.empty());
    // Every lead byte has its continuation bytes, and no byte stands alone.
    for (std::size_t i = 0; i < f.size(); ++i) {
        auto b = static_cast<unsigned char>(f[i]);
        std::size_t more = b < 0x80 ? 0 : b >= 0xf0 ? 3 : b >= 0xe0 ? 2 : b >= 0xc0 ? 1 : 9;
        ASSERT_NE(more, 9u) << "a lone continuation byte at " << i;
        for (std::size_t k = 1; k <= more; ++k)
            ASSERT_TRUE(i + k < f.size() && (static_cast<unsigned char>(f[i + k]) & 0xc0) == 0x80) << "cut at " << i;
        i += more;
    }
}
