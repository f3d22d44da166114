// Watchers: W at the first menu lists the seats, a digit watches one and is
// sent that player's own frames; watchers follow their seat, are limited in
// number, and neither change nor slow the players' frames.
#include "server/server_harness.hpp"

using srv::Client;

namespace {
constexpr std::string_view CLEAR = "\x1b[H\x1b[J";
constexpr std::string_view PICK = "Watch which seat (q to leave)? ";

// From the last full redraw on.
std::string last_frame(const std::string& stream)
{
    std::size_t start = stream.rfind(CLEAR);
    return start == std::string::npos ? std::string() : stream.substr(start);
}

// The seat list a new watcher is shown, or empty.
std::string ask_to_watch(Client& w)
{
    if (w.read_until("Select: ").empty() || !w.send("w\n"))
        return {};
    return w.read_until(PICK);
}

// q ends one's character, and q again leaves at once.
bool quit(Client& c)
{
    return c.send("q") && !c.frame().empty() && c.send("q") && c.wait_closed();
}

// A refusal that takes no turn: the answer frame, the same every time.
std::string refuse(Client& c)
{
    c.send("a");
    return last_frame(c.frame_with("Only Necromancers"));
}
}  // namespace

TEST(ServerWatch, AWatcherGetsThePlayersOwnFramesAndFollowsItsSeat)
{
    srv::Server server;
    Client ann(server.port()), cid(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(cid, "user_cid", "Cid", '2'));
    std::string before = refuse(ann);
    cid.drain(200);

    Client w(server.port()), v(server.port());
    std::string list = ask_to_watch(w);
    EXPECT_NE(list.find("1. Ann"), std::string::npos) << list;
    EXPECT_NE(list.find("2. Cid"), std::string::npos) << list;
    EXPECT_NE(list.find("playing  0 watching"), std::string::npos) << list;
    ASSERT_TRUE(w.send("1\n"));
    // The first frame comes at once and is the one Ann was last sent.
    EXPECT_TRUE(last_frame(w.frame()) == before);
    EXPECT_NE(ask_to_watch(v).find("playing  1 watching"), std::string::npos);
    ASSERT_TRUE(v.send("1\n") && !v.frame().empty());
    // Watchers change nothing in the players' frames, and see exactly them.
    EXPECT_TRUE(refuse(ann) == before);
    EXPECT_TRUE(last_frame(w.frame()) == before);
    EXPECT_TRUE(last_frame(v.frame()) == before);

    // A digit switches to Cid's own view at once, and q or x do nothing else.
    ASSERT_TRUE(w.send("2\n"));
    std::string cid_view = last_frame(w.frame());
    EXPECT_FALSE(cid_view == before);
    EXPECT_TRUE(cid_view == last_frame(cid.drain(300)));
    w.send("x\n");
    // Ann quits: Cid moves into the first slot and w still watches Cid; v,
    // who watched Ann, is told and may pick again.
    ASSERT_TRUE(quit(ann));
    std::string after = last_frame(cid.frame_with("has left"));
    EXPECT_TRUE(last_frame(w.frame_with("has left")) == after);
    std::string again = v.read_until(PICK);
    EXPECT_NE(again.find("The game you watched has ended."), std::string::npos) << again;
    EXPECT_NE(again.find("1. Cid"), std::string::npos) << again;
    ASSERT_TRUE(v.send("1\n"));
    EXPECT_TRUE(last_frame(v.frame()) == after);

    // The last seat ends: its watchers hear that nobody is playing and go.
    ASSERT_TRUE(quit(cid));
    std::string last = v.drain(1500);
    EXPECT_NE(last.find("Nobody is playing.\r\n" + std::string(srv::GOODBYE)), std::string::npos) << last;
    EXPECT_TRUE(v.wait_closed());
    w.send("q");
    EXPECT_TRUE(w.wait_closed());
    std::string log = server.output();
    EXPECT_NE(log.find(" slot 0 \"Ann\""), std::string::npos) << log;
    EXPECT_NE(log.find("end: nobody left to watch"), std::string::npos) << log;
}

TEST(ServerWatch, NobodyPlayingTheWatcherLimitAndTheTimeToChoose)
{
    auto server = srv::Server::tuned({ "--prejoin-ms", "1500" }, "WATCHERS=2\n");
    Client early(server->port());
    ASSERT_TRUE(early.read_until("Select: ") != "" && early.send("W\n"));
    // Nobody to watch: back to the menu.
    EXPECT_EQ(early.read_until("Select: "), "Nobody is playing.\r\n" + std::string(srv::MENU));
    early.close_now();

    Client ann(server->port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1'));
    Client w(server->port()), idle(server->port()), third(server->port());
    ASSERT_FALSE(ask_to_watch(w).empty());
    ASSERT_TRUE(w.send("1\n") && !w.frame().empty());
    // One choosing counts too, and the next one is turned away.
    ASSERT_FALSE(ask_to_watch(idle).empty());
    EXPECT_EQ(ask_to_watch(third), "");
    EXPECT_TRUE(third.wait_closed());
    // Choosing has the time limit of a login; watching has none.
    EXPECT_TRUE(idle.wait_closed(4000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(refuse(ann).empty());
    std::string seen = w.drain(300);
    EXPECT_NE(seen.find("Only Necromancers"), std::string::npos);
    EXPECT_EQ(seen.find("Thank you"), std::string::npos);
}

TEST(ServerWatch, AStalledWatcherDelaysNobodyAndIsCutOff)
{
    auto server = srv::Server::tuned({ "--stall-ms", "1000" });
    Client ann(server->port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1'));
    Client stalled(server->port(), 4096), w(server->port());
    ASSERT_FALSE(ask_to_watch(stalled).empty());
    ASSERT_TRUE(stalled.send("1\n"));
    ASSERT_FALSE(ask_to_watch(w).empty());
    ASSERT_TRUE(w.send("1\n") && !w.frame().empty());
    // Every command is answered while the stalled watcher's queue is full.
    std::string newest, seen;
    for (int i = 0; i < 200; ++i) {
        newest = refuse(ann);
        ASSERT_FALSE(newest.empty()) << i;
        seen = last_frame(seen + w.drain(1));
    }
    // Reading would be progress: the cut-off comes while it still reads nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(stalled.wait_closed());
    EXPECT_TRUE(last_frame(seen + w.drain(500)) == newest);
    std::string log = server->output();
    EXPECT_NE(log.find("end: cut off: output stalled"), std::string::npos) << log;
}
