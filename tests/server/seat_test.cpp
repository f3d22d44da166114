// Seats kept for a lost link: the return, the takeover, the hold running out
// and the idle limit.
#include <regex>

#include "server/server_harness.hpp"

using srv::Client;
using srv::Screen;

namespace {
// Logs in to an account made before; everything up to the first frame.
std::string log_in_again(Client& c, const std::string& user)
{
    if (!srv::talk(c, { { "Select: ", "l\n" }, { "Username: ", user + "\n" }, { "Password: ", "secret\n" } }, false))
        return {};
    return c.frame();
}

// What a player carries and how it stands, as its own frame shows it.
std::string kit(const std::string& frame)
{
    Screen s(frame);
    std::string out;
    for (int row = 11; row <= 22; ++row)
        out += s.m_rows[row].substr(65, 20) + "\n";
    std::smatch health;
    std::regex_search(frame, health, std::regex("Health: [0-9]+/[0-9]+"));
    return out + health.str();
}
}  // namespace

TEST(ServerSeats, ALostLinkKeepsTheSeatForItsAccountUntilTheHoldRunsOut)
{
    auto server = srv::Server::tuned({ "--seat-hold-ms", "2500" });
    Client ann(server->port()), bob(server->port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '3'));
    ann.drain(200);
    bob.send("5");
    std::string mine = kit(bob.frame_with("You wait"));
    std::vector<srv::Cell> at = Screen(ann.frame()).find_on_map('&');
    ASSERT_EQ(at.size(), 1u);
    bob.close_now();
    EXPECT_EQ(Screen(ann.frame_with("Bob\x1b[30C has lost the link.")).find_on_map('&'), at);

    // Back without a name or a class question, as the character was.
    Client back(server->port());
    std::string f = log_in_again(back, "user_bob");
    EXPECT_EQ(f.find("chat username"), std::string::npos) << f;
    EXPECT_EQ(kit(f), mine);
    EXPECT_EQ(Screen(ann.frame_with("Bob\x1b[30C is back.")).find_on_map('&'), at);

    // A login while the seat is still connected takes it over.
    Client again(server->port());
    EXPECT_EQ(kit(log_in_again(again, "user_bob")), mine);
    EXPECT_NE(back.read_until(srv::GOODBYE).find(srv::GOODBYE), std::string::npos);
    EXPECT_TRUE(back.wait_closed());
    again.send("5");
    EXPECT_FALSE(again.frame_with("You wait").empty());

    // Once the hold runs out the seat leaves, and the account starts anew.
    again.close_now();
    EXPECT_TRUE(Screen(ann.frame_with("Bob\x1b[30C has left the dungeon.")).find_on_map('&').empty());
    Client late(server->port());
    EXPECT_TRUE(srv::talk(late, { { "Select: ", "l\n" }, { "Username: ", "user_bob\n" }, { "Password: ", "secret\n" },
                                  { std::string(srv::NAME_PROMPT), "" } }, false));
    std::string log = server->output();
    for (const char* line : { "hold 127.0.0.1:", "return 127.0.0.1:", "takeover 127.0.0.1:", " hold expired" })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST(ServerSeats, AnIdlePlayerIsToldWhyLetGoAndKeepsItsSeat)
{
    auto server = srv::Server::tuned({ "--idle-limit-ms", "1000" });
    Client bob(server->port());
    ASSERT_TRUE(srv::join(bob, "user_bob", "Bob", '1'));
    std::string said = bob.read_until(srv::GOODBYE, 4000);
    EXPECT_NE(said.find("No input for 1 s: disconnecting. Your character is kept for 300 s; log in again to play on.\r\n"),
              std::string::npos) << said;
    EXPECT_TRUE(bob.wait_closed());
    Client back(server->port());
    EXPECT_EQ(log_in_again(back, "user_bob").find("chat username"), std::string::npos);
}
