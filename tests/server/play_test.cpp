// Joined players: placement, the full game, per-client frames, chat, leaving
// with slot shifting, the dead player's wait, follow and running mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "server/server_harness.hpp"

using srv::Client;
using srv::Screen;
using srv::Server;

namespace {

using Party = std::vector<std::unique_ptr<Client>>;

// Joins count clients named Ann, Bob, Cid, Dee with the classes given.
Party join_party(const Server& server, const std::string& classes)
{
    static const char* names[] = { "Ann", "Bob", "Cid", "Dee" };
    Party party;
    for (std::size_t i = 0; i < classes.size(); ++i) {
        party.push_back(std::make_unique<Client>(server.port()));
        std::string user = std::string("user_") + names[i];
        EXPECT_TRUE(srv::join(*party.back(), user, names[i], classes[i])) << names[i];
        // Earlier clients were redrawn twice by this join.
        for (std::size_t k = 0; k < i; ++k) {
            party[k]->frame();
            party[k]->frame();
        }
    }
    return party;
}

int column_beside(int leader_x, int offset)
{
    return leader_x + offset <= 59 ? leader_x + offset : leader_x - offset;
}

std::pair<int, int> only(const std::vector<std::pair<int, int>>& cells)
{
    EXPECT_EQ(cells.size(), 1u);
    return cells.empty() ? std::pair<int, int> { -1, -1 } : cells[0];
}

TEST(ServerPlay, FourJoinBesideTheLeaderEachSeesOwnFrameAndAFifthIsTurnedAway)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "1234");
    party[0]->send("c");  // the leader has no spells: a refusal, no turn

    const char* own[] = { "You know no spells.", "You have chosen the Wizard class.",
                          "You have chosen the Rogue class.", "You have chosen the Necromancer class." };
    const char* health[] = { "Health: 150/150", "Health: 80/80", "Health: 100/100", "Health: 110/110" };
    std::string leader_frame;
    for (int i = 0; i < 4; ++i) {
        std::string f = party[i]->frame();
        ASSERT_FALSE(f.empty()) << i;
        Screen s(f);
        EXPECT_TRUE(s.contains(own[i])) << i;
        EXPECT_TRUE(s.contains(health[i])) << i;
        if (i == 0)
            leader_frame = f;
    }
    Screen s(leader_frame);
    auto [lx, ly] = only(s.find_on_map('@'));
    auto others = s.find_on_map('&');
    ASSERT_EQ(others.size(), 3u);
    for (int n = 1; n <= 3; ++n) {
        std::pair<int, int> want { column_beside(lx, 2 * n), ly };
        EXPECT_NE(std::find(others.begin(), others.end(), want), others.end()) << "slot " << n;
    }

    Client fifth(server.port());
    fifth.read_until("Select: ");
    fifth.send("r\n");
    fifth.read_until("Choose a username: ");
    fifth.send("user_Eve\n");
    fifth.read_until("Choose a password: ");
    fifth.send("secret\n");
    fifth.read_until("Username: ");
    fifth.send("user_Eve\n");
    fifth.read_until("Password: ");
    fifth.send("secret\n");
    fifth.read_until(srv::NAME_PROMPT);
    fifth.send("Eve\n");
    EXPECT_EQ(fifth.read_until(srv::GOODBYE), "Server full. Disconnecting.\n" + std::string(srv::GOODBYE));
    EXPECT_TRUE(fifth.wait_closed());
    for (auto& c : party)
        EXPECT_EQ(c->drain(200).find("Input: "), std::string::npos);
}

TEST(ServerPlay, ChatReachesEveryoneWithoutTheSendersControlBytes)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "12");
    party[1]->send("/");
    EXPECT_EQ(party[1]->read_until("Enter message: "), "Enter message: ");
    party[1]->send("   hello\x1b[2J\x1b]0;x\x07 there\x7f  \r\n");
    const std::string line = "\x1b[96mBob\x1b[15C\x1b[97mhello[2J]0;x there";
    for (auto& c : party) {
        std::string f = c->frame_with("hello");
        ASSERT_FALSE(f.empty());
        EXPECT_NE(f.find(line + "\x1b[5;1H"), std::string::npos);
    }
    // Blanks only: no line is added, but everybody is still redrawn.
    party[0]->send("/");
    party[0]->read_until("Enter message: ");
    party[0]->send("   \r\n");
    for (auto& c : party) {
        Screen s(c->frame());
        EXPECT_EQ(s.row(5).substr(0, 60).find_first_not_of(' '), std::string::npos);
    }
}

TEST(ServerPlay, MiddleClientLeavingShiftsTheThirdIntoItsSlot)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "123");
    party[1]->close_now();
    for (int i : { 0, 2 }) {
        std::string f = party[i]->frame_with("has left the dungeon.");
        ASSERT_FALSE(f.empty()) << i;
        EXPECT_NE(f.find("\x1b[96m[SERVER]\x1b[15C\x1b[97m\x1b[8DBob\x1b[30C has left the dungeon."), std::string::npos);
        Screen s(f);
        EXPECT_EQ(s.find_on_map('&').size(), 1u);  // the leaver's record is gone
    }
    // The Rogue keeps its own record and now acts as slot 1.
    party[2]->send("F");
    Screen s(party[2]->frame_with("Now automatically following"));
    EXPECT_TRUE(s.contains("Mana: 80/80"));
    EXPECT_TRUE(s.contains("Canoe"));
    Screen leader(party[0]->frame());
    EXPECT_TRUE(leader.contains("Health: 150/150"));
}

TEST(ServerPlay, LeaderLeavingMakesTheNextClientTheLeader)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "12");
    party[1]->send("5");
    Screen s1(party[1]->frame_with("You wait a turn."));
    auto bob = only(s1.find_on_map('&'));
    party[0]->frame();
    party[0]->close_now();
    Screen after(party[1]->frame_with("Ann\x1b[30C has left the dungeon."));
    EXPECT_EQ(only(after.find_on_map('@')), bob);
    EXPECT_TRUE(after.find_on_map('&').empty());
    party[1]->send("F");
    EXPECT_FALSE(party[1]->frame_with("The party leader does not need to follow anyone.").empty());
}

TEST(ServerPlay, ThreeLeavingAtOnceLeaveTheLastOneAsALeaderWithItsOwnRecord)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "1114");
    for (int i = 0; i < 3; ++i)
        party[i]->close_now();
    std::string f;
    for (int left = 0; left < 3;) {
        f = party[3]->frame();
        ASSERT_FALSE(f.empty());
        left = 0;
        for (const char* n : { "Ann", "Bob", "Cid" })
            left += f.find(std::string(n) + "\x1b[30C has left the dungeon.") != std::string::npos;
    }
    Screen s(f);
    EXPECT_EQ(s.find_on_map('@').size(), 1u);
    EXPECT_TRUE(s.find_on_map('&').empty());
    EXPECT_TRUE(s.contains("Health: 110/110"));  // the Necromancer, not a leaver's record
    party[3]->send("F");
    EXPECT_FALSE(party[3]->frame_with("The party leader does not need to follow anyone.").empty());
    Client eve(server.port());
    ASSERT_TRUE(srv::join(eve, "user_Eve", "Eve", '2'));
    eve.send("F");
    EXPECT_FALSE(eve.frame_with("Now automatically following").empty());
}

TEST(ServerPlay, DeadPlayerMayWatchTenSecondsOrLeaveAtOnceWithQ)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "111");
    using Clock = std::chrono::steady_clock;
    party[1]->send("q");
    auto died = Clock::now();
    party[1]->frame();
    party[2]->frame();  // Bob's command redrew Cid too
    // Cid's own frame must arrive before the next 'q', or both could come
    // in one read and count as one key.
    party[2]->send("q");
    party[2]->frame();
    party[1]->send("a");  // anything but 'q' keeps the dead player watching
    party[2]->send("  q\n");
    EXPECT_TRUE(party[2]->wait_closed(2000));
    EXPECT_FALSE(party[1]->closed());
    EXPECT_FALSE(party[1]->read_until(srv::GOODBYE, 12000).empty());
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - died).count();
    EXPECT_GE(waited, 9000);
    EXPECT_LE(waited, 11500);
    EXPECT_TRUE(party[1]->wait_closed());
    // The leader alone and alive plays on; when it quits, the game is over.
    party[0]->send("5");
    EXPECT_FALSE(party[0]->frame_with("You wait a turn.").empty());
    party[0]->send("q");
    EXPECT_FALSE(party[0]->read_until(srv::GOODBYE).empty());
    EXPECT_TRUE(party[0]->wait_closed());
}

TEST(ServerPlay, FollowerStepsTowardTheLeaderOnlyInFollowMode)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "11");
    party[0]->send("5");
    Screen s0(party[1]->frame_with("\x1b[37mYou have chosen the Fighter class."));
    auto lead = only(s0.find_on_map('@'));
    auto start = only(s0.find_on_map('&'));
    party[0]->frame();
    EXPECT_EQ(std::abs(start.first - lead.first), 2);

    party[1]->send("F");
    party[1]->frame_with("Now automatically following the party leader (@). Press F again to stop.");
    party[0]->frame();
    party[0]->send("5");
    Screen s1(party[0]->frame_with("You wait a turn."));
    auto moved = only(s1.find_on_map('&'));
    EXPECT_EQ(moved.second, lead.second);
    EXPECT_EQ(std::abs(moved.first - lead.first), 1);

    party[1]->frame();
    party[1]->send("F");
    EXPECT_FALSE(party[1]->frame_with("\x1b[36mManual control resumed.").empty());
}

TEST(ServerPlay, RunningModeShowsEachViewerItsOwnCursorColour)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "11");
    party[1]->send("r");
    std::string own = party[1]->frame_with("Running mode: Use numpad to move cursor");
    std::string other = party[0]->frame();
    ASSERT_FALSE(own.empty());
    auto bob = only(Screen(own).find_on_map('+'));
    std::string at = "\x1b[" + std::to_string(bob.second + 6) + ";" + std::to_string(bob.first + 1) + "H";
    EXPECT_NE(own.find(at + "\x1b[93m+"), std::string::npos);
    EXPECT_NE(other.find(at + "\x1b[96m+"), std::string::npos);

    party[1]->send("\x1b");
    EXPECT_FALSE(party[1]->frame_with("Running mode canceled.").empty());
    party[0]->frame();
    party[1]->send("r");
    party[1]->frame();
    party[1]->send("2");
    party[1]->frame();
    party[1]->send("r");
    EXPECT_FALSE(party[1]->frame_with("Running complete.").empty());
}

// The keypad key for one step by (dx, dy).
char step_key(int dx, int dy)
{
    static const char keys[3][3] = { { '7', '4', '1' }, { '8', '5', '2' }, { '9', '6', '3' } };
    return keys[dx + 1][dy + 1];
}

// One step of the shortest path from the leader to goal over what the
// leader's screen shows: water, walls and other players are in the way,
// unknown cells and monsters (fought on the way) are not. 0 when no path.
char next_step(const Screen& s, std::pair<int, int> from, std::pair<int, int> goal)
{
    auto open = [&](int x, int y) {
        char g = s.map_at(x, y);
        return x > 0 && x < 59 && y > 0 && y < 19 && g != '~' && g != '#' && g != '&';
    };
    std::vector<int> prev(60 * 20, -1);
    std::vector<std::pair<int, int>> queue { goal };
    prev[goal.second * 60 + goal.first] = goal.second * 60 + goal.first;
    for (std::size_t i = 0; i < queue.size(); ++i) {
        auto [x, y] = queue[i];
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy) {
                int nx = x + dx, ny = y + dy;
                if ((dx || dy) && nx >= 0 && nx < 60 && ny >= 0 && ny < 20 && prev[ny * 60 + nx] < 0) {
                    if (std::pair<int, int> { nx, ny } == from)
                        return step_key(-dx, -dy);
                    if (open(nx, ny)) {
                        prev[ny * 60 + nx] = y * 60 + x;
                        queue.emplace_back(nx, ny);
                    }
                }
            }
    }
    return 0;
}

TEST(ServerPlay, LeaderOnTheStairsTakesThePartyDownAndOthersAreRefused)
{
    Server server;
    ASSERT_TRUE(server.wait_listening());
    Party party = join_party(server, "11");
    party[1]->send(">");
    EXPECT_FALSE(party[1]->frame_with("\x1b[31mYou are not standing on the stairs.\x1b[0m").empty());
    party[0]->send(">");
    std::string f = party[0]->frame_with("You are not standing on the stairs.");
    party[1]->frame();
    EXPECT_TRUE(Screen(f).contains("Level: 1"));

    // Walk the leader to the stairs: tour the level until they are seen,
    // then take the shortest path. Only the leader acts, so every command
    // gives each client exactly one frame.
    const std::pair<int, int> tour[] = { { 12, 5 }, { 12, 14 }, { 30, 15 }, { 48, 14 }, { 48, 5 }, { 30, 4 } };
    std::size_t leg = 0;
    bool on_stairs = false;
    for (int step = 0; step < 600 && !on_stairs; ++step) {
        Screen s(f);
        auto leaders = s.find_on_map('@');
        ASSERT_EQ(leaders.size(), 1u) << "the leader died on the way";
        auto stairs = s.find_on_map('>');
        std::pair<int, int> goal = stairs.empty() ? tour[leg % 6] : stairs[0];
        if (stairs.empty() && std::abs(leaders[0].first - goal.first) + std::abs(leaders[0].second - goal.second) <= 1) {
            ++leg;
            continue;
        }
        char key = next_step(s, leaders[0], goal);
        if (key == 0) {
            ++leg;
            key = '5';
        }
        party[0]->send(std::string(1, key));
        f = party[0]->frame();
        ASSERT_FALSE(f.empty());
        ASSERT_FALSE(party[1]->frame().empty());
        auto now_at = Screen(f).find_on_map('@');
        on_stairs = !stairs.empty() && now_at.size() == 1 && now_at[0] == stairs[0];
    }
    ASSERT_TRUE(on_stairs);

    party[0]->send(">");
    std::string down0 = party[0]->frame_with("You descend to level 2!");
    std::string down1 = party[1]->frame_with("You descend to level 2!");
    ASSERT_FALSE(down0.empty());
    ASSERT_FALSE(down1.empty());
    Screen after(down1);
    EXPECT_TRUE(after.contains("Level: 2"));
    auto new_lead = only(after.find_on_map('@'));
    auto bob = only(after.find_on_map('&'));
    // Bob was off the stairs: two columns beside the leader, on the map.
    EXPECT_EQ(bob.second, new_lead.second);
    EXPECT_EQ(std::abs(bob.first - new_lead.first), 2);
    // Bob plays on, on the new level (a monster's blow may have replaced
    // his message, so only the level is checked).
    party[1]->send("5");
    EXPECT_TRUE(Screen(party[1]->frame()).contains("Level: 2"));
}

}  // namespace
