// Joined players: placement, own frames, chat, leaving, death, descent.
#include "server/server_harness.hpp"

using srv::Cell;
using srv::Client;
using srv::Screen;

using Party = std::vector<std::unique_ptr<Client>>;

// Joins Ann, Bob, Cid, Dee with the class keys given.
static Party join_party(const srv::Server& server, const std::string& classes)
{
    static const char* names[] = { "Ann", "Bob", "Cid", "Dee" };
    Party party;
    for (std::size_t i = 0; i < classes.size(); ++i) {
        party.push_back(std::make_unique<Client>(server.port()));
        EXPECT_TRUE(srv::join(*party.back(), std::string("user_") + names[i], names[i], classes[i]));
        for (std::size_t k = 0; k < i; ++k)
            party[k]->frame(), party[k]->frame();
    }
    return party;
}

static Cell only(const std::vector<Cell>& cells)
{
    EXPECT_EQ(cells.size(), 1u);
    return cells.empty() ? Cell { -1, -1 } : cells[0];
}

TEST(ServerPlay, FourJoinChatLeaveAndTheNextClientLeads)
{
    // Without seat holds a dropped connection leaves at once.
    srv::Server server({}, { "-s" }, srv::free_port(), test::program_path(), "SEAT_HOLD=0\n");
    Party party = join_party(server, "1234");
    party[0]->send("c");  // the leader's command redraws everybody
    const char* own[] = { "You know no spells.", "the Wizard class.", "the Rogue class.", "the Necromancer class." };
    const char* health[] = { "Health: 150/150", "Health: 80/80", "Health: 100/100", "Health: 110/110" };
    for (int i = 0; i < 4; ++i) {
        Screen s(party[i]->frame());
        EXPECT_TRUE(s.contains(own[i]) && s.contains(health[i]) && s.find_on_map('&').size() == 3u) << i;
    }
    Client fifth(server.port());
    ASSERT_TRUE(srv::login(fifth, "user_Eve"));
    fifth.send("Eve\n");  // told before any class menu
    EXPECT_EQ(fifth.read_until(srv::GOODBYE), "Server full. Disconnecting.\r\n" + std::string(srv::GOODBYE));
    EXPECT_TRUE(fifth.wait_closed());
    party[1]->send("/");
    EXPECT_EQ(party[1]->read_until("Enter message: "), "Enter message: ");
    party[1]->send("   hello\x1b[2J\x1b]0;x\x07 there\x7f  \r\n");  // control bytes dropped
    for (auto& c : party)
        EXPECT_NE(c->frame_with("hello").find("\x1b[96mBob\x1b[15C\x1b[97mhello[2J]0;x there\x1b[0m"), std::string::npos);
    party[1]->close_now();
    for (int i : { 0, 2, 3 }) {
        std::string f = party[i]->frame_with("has left the dungeon.");
        EXPECT_NE(f.find("\x1b[96m[SERVER]\x1b[15C\x1b[97m\x1b[8DBob\x1b[30C has left the dungeon."), std::string::npos);
        EXPECT_EQ(Screen(f).find_on_map('&').size(), 2u);
    }
    // The Rogue keeps its own record in slot 1.
    party[2]->send("F");
    Screen s(party[2]->frame_with("Now automatically following"));
    EXPECT_TRUE(s.contains("Mana: 80/80") && s.contains("Canoe"));
    auto others = s.find_on_map('&');
    party[0]->frame();
    party[0]->close_now();
    Screen after(party[2]->frame_with("Ann\x1b[30C has left the dungeon."));
    EXPECT_NE(std::find(others.begin(), others.end(), only(after.find_on_map('@'))), others.end());
    party[2]->send("F");
    EXPECT_FALSE(party[2]->frame_with("The party leader does not need to follow anyone.").empty());
}

// One keypad step of a shortest path from -> goal over the shown map (0: none).
static char next_step(const Screen& s, Cell from, Cell goal)
{
    std::vector<bool> seen(60 * 20);
    std::vector<Cell> queue { goal };
    for (std::size_t i = 0; i < queue.size(); ++i)
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy) {
                Cell n { queue[i].first + dx, queue[i].second + dy };
                if (n == from)
                    return "741852963"[(1 - dx) * 3 + 1 - dy];
                char g = s.map_at(n.first, n.second);
                if (n.first > 0 && n.first < 59 && n.second > 0 && n.second < 19 && !seen[n.second * 60 + n.first]
                    && g != '~' && g != '#' && g != '&')
                    seen[n.second * 60 + n.first] = true, queue.push_back(n);
            }
    return 0;
}

TEST(ServerPlay, LeaderOnTheStairsTakesThePartyDownAndTheDeadWatch)
{
    srv::Server server;
    Party party = join_party(server, "11");
    party[1]->send(">");
    EXPECT_FALSE(party[1]->frame_with("\x1b[31mYou are not standing on the stairs.\x1b[0m").empty());
    party[0]->send(">");
    std::string f = party[0]->frame_with("You are not standing on the stairs.");
    party[1]->frame();
    // Tour the level until the stairs show, then walk there; one frame each per command.
    const Cell tour[] = { { 12, 5 }, { 12, 14 }, { 30, 15 }, { 48, 14 }, { 48, 5 }, { 30, 4 } };
    std::size_t leg = 0;
    Cell stairs { -1, -1 };
    for (int step = 0; step < 600; ++step) {
        Screen s(f);
        Cell at = only(s.find_on_map('@')), goal = tour[leg % 6];
        if (auto seen = s.find_on_map('>'); !seen.empty())
            stairs = seen[0];
        if (stairs.first >= 0 && (goal = stairs) == at)
            break;
        if (stairs.first < 0 && std::abs(at.first - goal.first) + std::abs(at.second - goal.second) <= 1) {
            ++leg;
            continue;
        }
        char key = next_step(s, at, goal);
        leg += key == 0;
        party[0]->send(std::string(1, key ? key : '5'));
        f = party[0]->frame();
        ASSERT_FALSE(f.empty() || party[1]->frame().empty());
    }
    party[0]->send(">");
    EXPECT_FALSE(party[0]->frame_with("You descend to level 2!").empty());
    Screen after(party[1]->frame_with("You descend to level 2!"));
    ASSERT_TRUE(after.contains("Level: 2"));
    // Bob was off the stairs: two columns beside the leader.
    Cell lead = only(after.find_on_map('@')), bob = only(after.find_on_map('&'));
    EXPECT_EQ(bob.second, lead.second);
    EXPECT_EQ(std::abs(bob.first - lead.first), 2);
    // A dead player watches until it presses 'q'; the others play on.
    party[1]->send("q");
    party[1]->frame();
    party[0]->frame();
    party[1]->send("a");
    EXPECT_FALSE(party[1]->wait_closed(500));
    party[1]->send("q");
    EXPECT_FALSE(party[1]->read_until(srv::GOODBYE, 2000).empty());
    EXPECT_FALSE(party[0]->frame_with("Bob\x1b[30C has left the dungeon.").empty());
    party[0]->send("5");
    EXPECT_FALSE(party[0]->frame().empty());
}
