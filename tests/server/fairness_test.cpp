// Nobody waits on another player: not on a client that stops reading or
// reads slowly, one choosing a class, one reading the help or typing a chat
// line; a client whose output stalls is cut off, one address cannot take
// every place in the login dialogue, and a dead player watches for a while.
#include "server/server_harness.hpp"

using srv::Client;
using srv::Screen;

namespace {
constexpr std::string_view CLEAR = "\x1b[H\x1b[J";

// A Fighter's two refusals: no turn, no world step, one frame for everybody.
// The frame that answers, or empty.
std::string refusal(Client& c, int i)
{
    c.send(i % 2 ? "c" : "a");
    return c.frame_with(i % 2 ? "You know no spells." : "Only Necromancers");
}

bool chat(Client& c, const std::string& text)
{
    c.send("/");
    return c.read_until("Enter message: ") == "Enter message: " && c.send(text + "\n") && !c.frame_with(text).empty();
}

// The last whole frame of a stream that must end with one.
std::string last_frame(const std::string& stream)
{
    std::size_t start = stream.rfind(CLEAR);
    EXPECT_NE(start, std::string::npos);
    EXPECT_TRUE(stream.ends_with(srv::FRAME_END)) << "ends inside a frame";
    return start == std::string::npos ? std::string() : stream.substr(start);
}
}  // namespace

TEST(ServerFairness, AClientThatStopsReadingHoldsNobodyAndEndsOnTheNewestFrame)
{
    srv::Server server;
    Client ann(server.port()), cid(server.port(), 4096);
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(cid, "user_cid", "Cid", '1'));
    ann.drain(200);
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(i % 25 == 24 ? chat(ann, "mark " + std::to_string(i)) : !refusal(ann, i).empty()) << i;
    std::string seen = cid.drain(2000);
    // Frames that waited in the kernel could not be replaced by newer ones.
    EXPECT_LT(seen.size(), 200000u) << "a backlog of stale frames";
    Screen newest(last_frame(seen));
    EXPECT_TRUE(newest.contains("mark 199"));
    EXPECT_EQ(seen.find("Thank you"), std::string::npos) << "not cut off";
}

TEST(ServerFairness, AStalledClientIsCutOffButASlowOneNeverIs)
{
    auto server = srv::Server::tuned({ "--stall-ms", "1000" });
    Client ann(server->port()), cid(server->port(), 4096), dee(server->port(), 4096);
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(cid, "user_cid", "Cid", '1')
                && srv::join(dee, "user_dee", "Dee", '1'));
    ann.drain(200);
    // Cid reads nothing; Dee takes 2 KB every 100 ms, far slower than the frames come.
    bool cid_gone = false;
    for (int i = 0; i < 400 && !(cid_gone && i >= 60); ++i) {
        std::string f = refusal(ann, i);
        ASSERT_FALSE(f.empty()) << i;
        cid_gone = cid_gone || f.find("Cid\x1b[30C has lost the link.") != std::string::npos;
        if (i % 4 == 0) {
            dee.read_some(2048);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    EXPECT_TRUE(cid_gone);
    ASSERT_TRUE(chat(ann, "last word"));
    EXPECT_TRUE(cid.wait_closed());
    std::string seen = dee.drain(3000);
    EXPECT_EQ(seen.find("Thank you"), std::string::npos) << "a slow reader is not cut off";
    EXPECT_TRUE(Screen(last_frame(seen)).contains("last word"));
}

TEST(ServerFairness, HelpChatAndClassPromptsHoldOnlyTheirOwnPlayer)
{
    srv::Server server;
    Client ann(server.port()), bob(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '1'));
    ann.frame(), ann.frame();
    // The help stays on Ann's screen for three seconds; Bob plays on meanwhile
    // and Ann then gets one frame for all he did.
    ann.send("?");
    long long asked = srv::now_ms();
    EXPECT_EQ(ann.read_until("return to the game...").rfind(CLEAR, 0), 0u);
    for (int i = 0; i < 10; ++i)
        ASSERT_FALSE(refusal(bob, i).empty()) << i;
    long long bob_done = srv::now_ms();
    std::string after_help = ann.frame(6000);
    long long back = srv::now_ms();
    EXPECT_GE(back - asked, 2500);
    EXPECT_LT(bob_done, back);
    EXPECT_NE(after_help.find(srv::FRAME_END), std::string::npos);
    EXPECT_EQ(ann.drain(300), "") << "the frames behind the pause are one";
    // A chat prompt is not redrawn away while Bob acts; the message's frame follows it.
    ann.send("/");
    EXPECT_EQ(ann.read_until("Enter message: "), "Enter message: ");
    ASSERT_FALSE(refusal(bob, 0).empty());
    EXPECT_EQ(ann.drain(300), "");
    ann.send("typed slowly\n");
    EXPECT_EQ(ann.frame().rfind(CLEAR, 0), 0u);
    // Cid at the class menu is not in the world yet: nobody waits, nothing reaches Cid.
    Client cid(server.port());
    ASSERT_TRUE(srv::login(cid, "user_cid") && cid.send("Cid\n"));
    ASSERT_FALSE(cid.read_until("undead.\r\n").empty());
    for (int i = 0; i < 10; ++i) {
        bob.send("5");
        Screen s(bob.frame_with("Turn: "));
        ASSERT_EQ(s.find_on_map('&').size() + s.find_on_map('@').size(), 2u) << i;
    }
    EXPECT_EQ(cid.drain(300), "");
    cid.send("2\n");
    EXPECT_TRUE(Screen(cid.frame_with("You have chosen the Wizard class.")).contains("Health: 80/80"));
    EXPECT_FALSE(bob.frame_with("Cid\x1b[30C has entered the dungeon.").empty());
}

TEST(ServerFairness, OneAddressGetsFourPlacesInTheLoginDialogue)
{
    srv::Server server;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the readiness probe counts too
    const in_addr_t home = INADDR_LOOPBACK, elsewhere = INADDR_LOOPBACK + 1;
    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(std::make_unique<Client>(server.port(), 0, home));
        ASSERT_FALSE(waiting.back()->read_until("begin.\r\n").empty()) << i;
    }
    Client fifth(server.port(), 0, home);
    EXPECT_EQ(fifth.read_until("Server busy. Try again later.\r\n"), "Server busy. Try again later.\r\n");
    EXPECT_TRUE(fifth.wait_closed());
    Client other(server.port(), 0, elsewhere);
    EXPECT_FALSE(other.read_until("Select: ").empty());
    // Joined players no longer count: a household may play together.
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(srv::join(*waiting[i], "user_" + std::to_string(i), "P" + std::to_string(i), '1')) << i;
    Client again(server.port(), 0, home);
    EXPECT_FALSE(again.read_until("Select: ").empty());
}

TEST(ServerFairness, ADeadPlayerWatchesForTheWholeWaitThenLeaves)
{
    auto server = srv::Server::tuned({ "--dead-wait-ms", "1500" });
    Client ann(server->port()), bob(server->port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '1'));
    bob.drain(200);
    bob.send("q");
    long long died = srv::now_ms();
    ASSERT_FALSE(bob.frame().empty());
    bob.send("a");  // any key but 'q' goes on watching
    EXPECT_FALSE(bob.wait_closed(700));
    EXPECT_FALSE(bob.read_until(srv::GOODBYE, 3000).empty());
    EXPECT_GE(srv::now_ms() - died, 1400);
    EXPECT_FALSE(ann.frame_with("Bob\x1b[30C has left the dungeon.").empty());
}
