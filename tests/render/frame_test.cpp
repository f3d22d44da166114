// The frame as a player sees it: chat ring, map memory, what covers what,
// cursors and the ally marker.
#include <gtest/gtest.h>

#include <string>

#include "render/scene.hpp"

namespace {
using test::frame_of;
using test::lit_game;
using test::map_col;
using test::map_row;
using test::screen_of;

void add_line(Game& g, const std::string& text)
{
    copy_text(g.chat_lines[g.chat_count % CHAT_LINES], text);
    ++g.chat_count;
}

// The chat rows 2-5 as the screen shows them.
std::string chat_rows(Game& g)
{
    test::VTerm t = screen_of(g);
    std::string rows;
    for (int r = 2; r <= 5; ++r)
        rows += "[" + t.span(r, 1, 60) + "]";
    return rows;
}

TEST(ChatPanel, ShowsTheLastFourLinesOldestFirst)
{
    auto g = lit_game();
    EXPECT_EQ(chat_rows(*g), "[][][][]");
    test::VTerm empty = screen_of(*g);
    EXPECT_EQ(empty.span(1, 1, 60), "--- CHAT HISTORY ---");
    EXPECT_EQ(empty.color(1, 1), 96);

    const char* lines[] = {"one", "two", "three", "four", "five", "six"};
    int added = 0;
    auto add_until = [&](int n) {
        while (added < n)
            add_line(*g, lines[added++]);
    };
    add_until(4);
    EXPECT_EQ(chat_rows(*g), "[one][two][three][four]");
    add_until(5);
    EXPECT_EQ(chat_rows(*g), "[two][three][four][five]");
    add_until(6);
    EXPECT_EQ(chat_rows(*g), "[three][four][five][six]");
    EXPECT_EQ(screen_of(*g).color(2, 1), 37);
}

TEST(ChatPanel, FewerLinesThanRowsAndNegativeCounts)
{
    auto g = lit_game();
    add_line(*g, "only");
    EXPECT_EQ(chat_rows(*g), "[only][][][]");
    g->chat_count = -3;
    EXPECT_EQ(chat_rows(*g), "[][][][]");
    EXPECT_NE(frame_of(*g).find("\x1b[2;1H\x1b[0m \x1b[3;1H\x1b[0m "), std::string::npos);
}

TEST(ChatPanel, StoredEscapesMoveTheCursorAsWritten)
{
    auto g = lit_game();
    add_line(*g, "\x1b[96mPlayer\x1b[15C\x1b[97mhello");
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(t.text(2, 1, 6), "Player");
    EXPECT_EQ(t.color(2, 1), 96);
    EXPECT_EQ(t.text(2, 22, 5), "hello");
    EXPECT_EQ(t.color(2, 22), 97);
}

TEST(MapView, VisibleRememberedAndUnknownCells)
{
    auto g = lit_game(false);
    g->map[5][5].visible = 1;
    g->map[6][5].explored = 1;
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(t.at(map_row(5), map_col(5)), '.');
    EXPECT_EQ(t.color(map_row(5), map_col(5)), 90);
    EXPECT_EQ(t.at(map_row(5), map_col(6)), '.');
    EXPECT_EQ(t.color(map_row(5), map_col(6)), 37);
    EXPECT_EQ(t.at(map_row(5), map_col(7)), ' ');
    EXPECT_EQ(t.unknown_sequences(), 0);
    // The map occupies rows 6-25 and columns 1-60 only.
    EXPECT_EQ(t.at(map_row(0), map_col(0)), ' ');
    EXPECT_EQ(t.row(26), "");
}

TEST(MapView, AFrameRemembersWhatIsVisibleAndNothingElse)
{
    auto g = lit_game(false);
    g->map[10][4].visible = 1;
    frame_of(*g);
    int explored = 0;
    for (auto& column : g->map) {
        for (Cell& c : column)
            explored += c.explored;
    }
    EXPECT_EQ(explored, 1);
    EXPECT_EQ(g->map[10][4].explored, 1);

    // Once the view moves on, the cell is drawn as white terrain.
    g->map[10][4].visible = 0;
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(t.at(map_row(4), map_col(10)), '.');
    EXPECT_EQ(t.color(map_row(4), map_col(10)), 37);
}

void put_item(Game& g, int x, int y, char glyph)
{
    Item& it = g.floor_items[g.floor_item_count++];
    it.x = x;
    it.y = y;
    it.glyph = glyph;
    copy_text(it.color, "\x1b[31m");
}

Monster& put_monster(Game& g, int x, int y, char glyph, const char* color = "\x1b[92m")
{
    Monster& m = g.monsters[g.monster_count++];
    m.x = x;
    m.y = y;
    m.glyph = glyph;
    m.alive = 1;
    copy_text(m.color, color);
    return m;
}

TEST(CoverOrder, PlayerOverMonsterOverCorpseOverItemOverProjectile)
{
    auto g = lit_game();
    const int x = 12, y = 7;
    Projectile& pr = g->projectiles[3];
    pr = Projectile{};
    pr.x = x;
    pr.y = y;
    pr.glyph = '*';
    pr.active = 1;
    copy_text(pr.color, "\x1b[91m");
    auto glyph_at = [&] { return screen_of(*g).at(map_row(y), map_col(x)); };
    EXPECT_EQ(glyph_at(), '*');
    put_item(*g, x, y, '!');
    EXPECT_EQ(glyph_at(), '!');
    g->corpses[0] = Corpse{x, y, 'Z', {}, 0, 0, 0, 0};
    g->corpse_count = 1;
    EXPECT_EQ(glyph_at(), '%');
    EXPECT_EQ(screen_of(*g).color(map_row(y), map_col(x)), 90);
    Monster& m = put_monster(*g, x, y, 'o');
    EXPECT_EQ(glyph_at(), 'o');
    g->player.x = x;
    g->player.y = y;
    EXPECT_EQ(glyph_at(), '@');
    EXPECT_EQ(screen_of(*g).color(map_row(y), map_col(x)), 36);
    g->player.alive = 0;
    m.alive = 0;
    EXPECT_EQ(glyph_at(), '%');
}

TEST(CoverOrder, ItemsUnderALivingMonsterOrTheLeaderAreNotDrawn)
{
    auto g = lit_game();
    put_item(*g, 12, 7, '!');
    put_item(*g, 30, 10, '$');  // under the leader
    put_item(*g, 40, 3, '/');
    put_monster(*g, 12, 7, 'o');
    const std::string f = frame_of(*g);
    EXPECT_EQ(f.find("\x1b[13;13H\x1b[31m!"), std::string::npos);
    EXPECT_EQ(f.find("\x1b[16;31H\x1b[31m$"), std::string::npos);
    EXPECT_NE(f.find("\x1b[9;41H\x1b[31m/"), std::string::npos);

    // A picked-up item (x == -1) and one on an unseen cell stay off the screen.
    g->floor_items[2].x = -1;
    g->map[5][5].visible = 0;
    g->map[5][5].explored = 1;
    put_item(*g, 5, 5, '?');
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(t.at(map_row(3), map_col(40)), '.');
    EXPECT_EQ(t.at(map_row(5), map_col(5)), '.');
}

TEST(CoverOrder, ShopIsABlueSOnlyWhenVisible)
{
    auto g = lit_game();
    g->stores[0].x = 20;
    g->stores[0].y = 15;
    EXPECT_EQ(screen_of(*g).at(map_row(15), map_col(20)), '.');
    g->store_count = 1;
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(t.at(map_row(15), map_col(20)), 'S');
    EXPECT_EQ(t.color(map_row(15), map_col(20)), 94);
    g->map[20][15].visible = 0;
    EXPECT_EQ(screen_of(*g).at(map_row(15), map_col(20)), '.');
}

TEST(HiddenEntities, RememberedCellsShowOnlyWhiteTerrain)
{
    auto g = lit_game();
    const int x = 8, y = 14;
    put_item(*g, x, y, '!');
    put_monster(*g, x + 1, y, 'Z');
    g->corpses[0] = Corpse{x + 2, y, '%', {}, 0, 0, 0, 0};
    g->corpse_count = 1;
    g->other_count = 1;
    Player& other = g->others[0];
    other.x = x + 3;
    other.y = y;
    other.alive = 1;
    other.glyph = '@';
    copy_text(other.color, "\x1b[35m");
    frame_of(*g);  // remembers the row
    for (int i = 0; i < 4; ++i)
        g->map[x + i][y].visible = 0;
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(t.text(map_row(y), map_col(x), 4), "....");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(t.color(map_row(y), map_col(x + i)), 37) << i;
}

Player& aiming_other(Game& g, int slot, int cx, int cy)
{
    g.other_count = slot;
    Player& p = *player_by_number(g, slot);
    p.alive = 1;
    p.x = 3;
    p.y = 3;
    p.glyph = '@';
    p.aiming = 1;
    p.cursor_x = cx;
    p.cursor_y = cy;
    return p;
}

TEST(Cursors, OwnCursorYellowOthersCyan)
{
    auto g = lit_game();
    g->player.aiming = 1;
    g->player.cursor_x = 33;
    g->player.cursor_y = 12;
    aiming_other(*g, 1, 20, 4);
    test::VTerm leader = screen_of(*g, 0);
    test::VTerm second = screen_of(*g, 1);
    EXPECT_EQ(leader.at(map_row(12), map_col(33)), '+');
    EXPECT_EQ(leader.color(map_row(12), map_col(33)), 93);
    EXPECT_EQ(leader.color(map_row(4), map_col(20)), 96);
    EXPECT_EQ(second.color(map_row(12), map_col(33)), 96);
    EXPECT_EQ(second.at(map_row(4), map_col(20)), '+');
    EXPECT_EQ(second.color(map_row(4), map_col(20)), 93);

    // Running shows the cursor too; a dead player's cursor goes.
    g->player.aiming = 0;
    g->player.running = 1;
    EXPECT_EQ(screen_of(*g).at(map_row(12), map_col(33)), '+');
    g->player.alive = 0;
    EXPECT_EQ(screen_of(*g).at(map_row(12), map_col(33)), '.');
}

TEST(Cursors, OffTheMapOrUnseenIsNotDrawn)
{
    auto g = lit_game();
    g->player.aiming = 1;
    const int spots[][2] = {{60, 5}, {-1, 5}, {5, 20}, {5, -1}, {1 << 30, 1 << 30}};
    for (const auto& s : spots) {
        g->player.cursor_x = s[0];
        g->player.cursor_y = s[1];
        EXPECT_EQ(frame_of(*g).find('+'), std::string::npos) << s[0] << "," << s[1];
    }
    g->player.cursor_x = 7;
    g->player.cursor_y = 7;
    g->map[7][7].visible = 0;
    EXPECT_EQ(frame_of(*g).find('+'), std::string::npos);
    // A player beyond other_count is not drawn, nor its cursor.
    aiming_other(*g, 2, 9, 9);
    g->other_count = 1;
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(t.at(map_row(9), map_col(9)), '.');
}

TEST(Cursors, AllyMarkerOnlyForTheController)
{
    auto g = lit_game();
    put_monster(*g, 1, 1, 'o');
    put_monster(*g, 25, 9, 'Z', "\x1b[95m");
    g->controlled_ally = 1;
    g->ally_control_mode = ALLY_MANUAL;
    g->ally_controller = 1;
    aiming_other(*g, 1, 0, 0).aiming = 0;
    test::VTerm controller = screen_of(*g, 1);
    EXPECT_EQ(controller.at(map_row(9), map_col(25)), '+');
    EXPECT_EQ(controller.color(map_row(9), map_col(25)), 95);
    EXPECT_EQ(screen_of(*g, 0).at(map_row(9), map_col(25)), 'Z');

    g->ally_control_mode = 0;
    EXPECT_EQ(screen_of(*g, 1).at(map_row(9), map_col(25)), 'Z');
    g->ally_control_mode = ALLY_MANUAL;
    for (int bad : {2, 60, -2, 1 << 30}) {
        g->controlled_ally = bad;
        EXPECT_EQ(frame_of(*g, 1).find("\x1b[95m+"), std::string::npos) << bad;
    }
}

TEST(Frame, MessageLineAndPromptCloseEveryFrame)
{
    auto g = lit_game();
    set_message(g->player, "%sYou hit the %c!%s", "\x1b[91m", 'o', "\x1b[0m");
    const std::string f = frame_of(*g);
    EXPECT_EQ(f.rfind("\x1b[H\x1b[J", 0), 0u);
    const std::string tail = "\x1b[27;1H\x1b[37m\x1b[91mYou hit the o!\x1b[0m\x1b[0m"
                             "\x1b[28;1H\x1b[0m\x1b[94mInput: \x1b[0m";
    ASSERT_GE(f.size(), tail.size());
    EXPECT_EQ(f.substr(f.size() - tail.size()), tail);
    test::VTerm t;
    t.feed(f);
    EXPECT_EQ(t.row(27), "You hit the o!");
    EXPECT_EQ(t.row(28), "Input:");
    EXPECT_EQ(t.color(28, 1), 94);
}

TEST(Frame, HelpReplacesChatMapAndPanelsWhileSkipKeyIsSet)
{
    auto g = lit_game();
    add_line(*g, "chat");
    copy_text(g->player.message, "hello");
    g->skip_key = 1;
    const std::string f = frame_of(*g);
    EXPECT_EQ(f.find("CHAT HISTORY"), std::string::npos);
    EXPECT_EQ(f.find("STATS"), std::string::npos);
    EXPECT_EQ(f.find("MINIMAP"), std::string::npos);
    EXPECT_EQ(g->map[3][3].explored, 0);
    EXPECT_NE(f.find(help_text()), std::string::npos);
    test::VTerm t;
    t.feed(f);
    EXPECT_EQ(t.row(1), " Movement (numpad):");
    EXPECT_EQ(t.row(27), "hello");
    EXPECT_EQ(t.row(28), "Input:");
    EXPECT_EQ(f.substr(f.size() - 7 - 4), "Input: \x1b[0m");
}

}  // namespace
