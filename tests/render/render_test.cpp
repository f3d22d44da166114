// The renderer as a player sees it, read back through a tiny terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <sys/socket.h>

#include "render/render.hpp"
#include "support/test_support.hpp"
#include "term/term.hpp"
#include "world/items.hpp"
#include "world/away_double.hpp"

namespace {

// Applies "ESC[r;cH" and "ESC[nm" to a character grid; rows and columns are 1-based.
struct Screen {
    char ch[40][121];
    int sgr[40][121] = {};
    explicit Screen(const std::string& s)
    {
        std::memset(ch, ' ', sizeof ch);
        int r = 1, c = 1, color = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\x1b') {
                int p[2] = {0, 0}, n = 0;
                for (i += 2; i < s.size() && (std::isdigit(s[i]) || s[i] == ';'); ++i)
                    s[i] == ';' ? void(n = 1) : void(p[n] = p[n] * 10 + (s[i] - '0'));
                if (i < s.size() && s[i] == 'H') r = std::max(p[0], 1), c = std::max(p[1], 1);
                if (i < s.size() && s[i] == 'm') color = p[n];
            } else if (s[i] == '\n') {
                ++r, c = 1;
            } else if (s[i] == '\t') {
                c = (c - 1) / 8 * 8 + 9;
            } else {
                if (r < 40 && c < 121) ch[r][c] = s[i], sgr[r][c] = color;
                ++c;
            }
        }
    }
    char at(int r, int c) const { return ch[r][c]; }
    std::pair<char, int> cell(int r, int c) const { return {ch[r][c], sgr[r][c]}; }
    std::string span(int r, int c, int len) const
    {
        std::string t(&ch[r][c], std::size_t(len));
        return t.erase(t.find_last_not_of(' ') + 1);
    }
};

// Floor everywhere, yellow walls on the border, all visible unless lit is false.
std::unique_ptr<Game> lit_game(bool lit = true)
{
    auto g = std::make_unique<Game>();
    for (int x = 0; x < MAP_WIDTH; ++x) {
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            Cell& c = g->map[x][y];
            bool wall = x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1;
            c.glyph = wall ? '#' : '.';
            copy_text(c.color, wall ? "\x1b[33m" : "\x1b[90m");
            c.visible = lit;
        }
    }
    g->player.x = 30, g->player.y = 10, g->player.glyph = '@', g->player.alive = 1;
    copy_text(g->player.color, "\x1b[36m");
    g->controlled_ally = g->ally_controller = -1;
    return g;
}

std::string frame_of(Game& g, int slot = 0)
{
    std::string out;
    build_frame(g, *player_by_number(g, slot), slot, out);
    return out;
}
Screen screen_of(Game& g, int slot = 0) { return Screen(frame_of(g, slot)); }
constexpr int R = 6, C = 1, P = 65;  // map cell (0, 0) at row R, column C; panels at column P

Monster& put_monster(Game& g, int x, int y, char glyph, const char* color = "\x1b[92m")
{
    Monster& m = g.monsters[g.monster_count++];
    m.x = x, m.y = y, m.glyph = glyph, m.alive = 1;
    copy_text(m.color, color);
    return m;
}

Player& put_other(Game& g, int slot, int x, int y)
{
    g.other_count = slot;
    Player& p = *player_by_number(g, slot);
    p.alive = 1, p.x = x, p.y = y, p.glyph = '@';
    copy_text(p.color, "\x1b[35m");
    return p;
}

TEST(Frame, ChatRingShowsTheLastFourOldestFirst)
{
    auto g = lit_game();
    auto rows = [&] {
        Screen t = screen_of(*g);
        return t.span(2, 1, 60) + "|" + t.span(3, 1, 60) + "|" + t.span(4, 1, 60) + "|" + t.span(5, 1, 60);
    };
    EXPECT_EQ(rows(), "|||");
    for (const char* line : {"one", "two", "three", "four", "five", "six"})
        copy_text(g->chat_lines[g->chat_count++ % CHAT_LINES], line);
    EXPECT_EQ(rows(), "three|four|five|six");
}

TEST(Frame, VisibleRememberedAndUnknownCells)
{
    auto g = lit_game(false);
    g->map[5][5].visible = 1;
    g->map[6][5].explored = 1;
    Screen t = screen_of(*g);
    EXPECT_EQ(t.cell(R + 5, C + 5), std::pair('.', 90));
    EXPECT_EQ(t.cell(R + 5, C + 6), std::pair('.', 37));
    EXPECT_EQ(t.at(R + 5, C + 7), ' ');
    EXPECT_EQ(g->map[5][5].explored, 1);  // the frame remembers what it shows
    EXPECT_EQ(g->map[7][5].explored, 0);
}

TEST(Frame, CoverOrderPlayerMonsterCorpseItemProjectile)
{
    auto g = lit_game();
    const int x = 12, y = 7;
    Projectile& pr = g->projectiles[3];
    pr.x = x, pr.y = y, pr.glyph = '*', pr.active = 1;
    auto glyph = [&] { return screen_of(*g).at(R + y, C + x); };
    EXPECT_EQ(glyph(), '*');
    Item& it = g->floor_items[g->floor_item_count++];
    it.x = x, it.y = y, it.glyph = '!';
    EXPECT_EQ(glyph(), '!');
    g->corpses[0] = Corpse{x, y, 'Z', {}, 0, 0, 0, 0};
    g->corpse_count = 1;
    EXPECT_EQ(glyph(), '%');
    Monster& m = put_monster(*g, x, y, 'o');
    EXPECT_EQ(glyph(), 'o');
    g->player.x = x, g->player.y = y;
    EXPECT_EQ(glyph(), '@');
    g->player.alive = m.alive = 0;
    EXPECT_EQ(glyph(), '%');

    // On a remembered cell nothing stands: item, corpse, monster and player stay hidden.
    m.alive = 1;
    put_other(*g, 1, x, y);
    g->map[x][y].visible = 0, g->map[x][y].explored = 1;
    EXPECT_EQ(screen_of(*g).cell(R + y, C + x), std::pair('.', 37));
}

TEST(Frame, CursorsAndTheAllyMarker)
{
    auto g = lit_game();
    Player& me = g->player;
    me.aiming = 1, me.cursor_x = 33, me.cursor_y = 12;
    Player& other = put_other(*g, 1, 3, 3);
    other.aiming = 1, other.cursor_x = 20, other.cursor_y = 4;
    Screen leader = screen_of(*g, 0), second = screen_of(*g, 1);
    EXPECT_EQ(leader.cell(R + 12, C + 33), std::pair('+', 93));
    EXPECT_EQ(leader.cell(R + 4, C + 20), std::pair('+', 96));
    EXPECT_EQ(second.cell(R + 12, C + 33), std::pair('+', 96));
    EXPECT_EQ(second.cell(R + 4, C + 20), std::pair('+', 93));

    other.aiming = 0;
    for (auto s : {std::pair{60, 5}, {-1, 5}, {5, 20}, {5, -1}, {INT_MAX, INT_MIN}, {7, 7}}) {
        SCOPED_TRACE(s.first);
        g->map[7][7].visible = 0;  // the last spot is unseen
        me.cursor_x = s.first, me.cursor_y = s.second;
        EXPECT_EQ(frame_of(*g).find('+'), std::string::npos);
    }

    // The manual ally shows as '+' in its colour only to its controller.
    put_monster(*g, 1, 1, 'o');
    put_monster(*g, 25, 9, 'Z', "\x1b[95m");
    g->controlled_ally = 1, g->ally_control_mode = ALLY_MANUAL, g->ally_controller = 1;
    EXPECT_EQ(screen_of(*g, 1).cell(R + 9, C + 25), std::pair('+', 95));
    EXPECT_EQ(screen_of(*g, 0).at(R + 9, C + 25), 'Z');
    g->ally_control_mode = 0;
    EXPECT_EQ(screen_of(*g, 1).at(R + 9, C + 25), 'Z');
}

// Everyone sees a held seat's character in grey and not its cursor; only the
// server's record has away players.
TEST(Frame, AwayPlayerIsGreyWithoutItsCursorForEveryone)
{
    Game& g = server_game();
    g = *lit_game();
    Player& gone = put_other(g, 1, 3, 3);
    gone.aiming = 1, gone.cursor_x = 20, gone.cursor_y = 4;
    world_test::ScopedAway away({1});
    for (int viewer : {0, 1}) {
        Screen t = screen_of(g, viewer);
        EXPECT_EQ(t.cell(R + 3, C + 3), std::pair('@', 90));
        EXPECT_EQ(t.cell(R + 10, C + 30), std::pair('@', 36));
        EXPECT_EQ(t.at(R + 4, C + 20), '.');
    }
    auto local = lit_game();
    put_other(*local, 1, 3, 3);
    EXPECT_EQ(screen_of(*local).cell(R + 3, C + 3), std::pair('@', 35));
    g = Game {};
}

TEST(Panels, MinimapElevenWideBlankOffMapAndUnexplored)
{
    auto g = lit_game();
    frame_of(*g);  // explores every cell
    g->map[4][1].explored = g->map[4][1].visible = 0;
    g->player.x = 2, g->player.y = 1;
    put_monster(*g, 3, 1, 'o');  // the minimap shows terrain only
    Screen t = screen_of(*g);
    auto mini = [](const Screen& s, int r) { return std::string(&s.ch[r][85], 12); };  // and one after
    EXPECT_EQ(mini(t, 6), "   ######## ");
    EXPECT_EQ(mini(t, 7), "   #.@. ... ");
    EXPECT_EQ(t.cell(7, 88), std::pair('#', 33));  // in the cell's own colour
    g->player.x = 58, g->player.y = 18;
    t = screen_of(*g);
    EXPECT_EQ(mini(t, 7), ".....@#     ");
    EXPECT_EQ(mini(t, 9), "            ");
}

TEST(Panels, StatsAlliesAndSpells)
{
    auto g = lit_game();
    Player& p = g->player;
    auto make = [](int kind, const char* name, int value, int quantity) {
        Item* it = create_blank_item();
        it->kind = kind, it->value = value, it->quantity = quantity;
        copy_text(it->name, name);
        return it;
    };
    p.attack = 6, p.defense = 2;
    p.inventory[0] = p.weapon = make(ITEM_SWORD, "Sword", 5, 1);
    p.inventory[2] = make(ITEM_ARROWS, "Arrows", 1, 12);
    p.inventory[9] = p.armor = make(ITEM_LEATHER_ARMOR, "Leather Armor", 2, 1);
    Screen t = screen_of(*g);
    EXPECT_EQ(t.span(4, P, 20), "Attack: 11");
    EXPECT_EQ(t.span(5, P, 20), "Defense: 4");
    EXPECT_EQ(t.span(11, P, 20), "1: Sword");
    EXPECT_EQ(t.span(12, P, 20), "2: Empty");
    EXPECT_EQ(t.span(13, P, 40), "3: Arrows (12)");
    EXPECT_EQ(t.span(21, P, 40), "Weapon: Sword");
    EXPECT_EQ(t.span(23, P, 40), "");  // a Fighter has no allies block
    p.weapon = p.armor = nullptr;
    EXPECT_EQ(screen_of(*g).span(4, P, 20), "Attack: 6");
    free_inventory(p);

    p.player_class = CLASS_NECROMANCER;
    EXPECT_EQ(screen_of(*g).span(24, P, 40), "None");
    auto ally = [&](char glyph, int mode, int hp, bool is_ally, bool alive) {
        Monster& m = put_monster(*g, 1, 1, glyph, "\x1b[95m");
        m.is_ally = is_ally, m.ally_mode = mode, m.hp = hp, m.alive = alive;
    };
    ally('Z', ALLY_FOLLOW, 7, true, true);
    ally('o', ALLY_ATTACK, 3, false, true);
    ally('s', ALLY_MANUAL, 9, true, false);
    ally('o', ALLY_MANUAL, 12, true, true);
    p.spell_count = 1;
    copy_text(p.spells[0].name, "Fireball");
    p.spells[0].mana_cost = 10;
    t = screen_of(*g);
    EXPECT_EQ(t.span(23, P, 40), "--- ALLIES ---");
    EXPECT_EQ(t.span(24, P, 40), "Z [Follow] (7 HP)");
    EXPECT_EQ(t.span(25, P, 40), "o [Manual] (12 HP)");
    EXPECT_EQ(t.span(28, P, 40), "--- SPELLS ---");
    EXPECT_EQ(t.span(29, P, 40), "1: Fireball (10 mana)");
    EXPECT_EQ(t.span(30, P, 40), "");

    p.player_class = CLASS_WIZARD;
    t = screen_of(*g);
    EXPECT_EQ(t.span(23, P, 40), "");
    EXPECT_EQ(t.span(29, P, 40), "1: Fireball (10 mana)");
    g->wizard_mode = 1;  // wizard mode lists allies for any class
    EXPECT_EQ(screen_of(*g).span(24, P, 40), "Z [Follow] (7 HP)");
    for (int cls : {0, -1, 5}) {
        p.player_class = cls;
        EXPECT_EQ(frame_of(*g).find("SPELLS"), std::string::npos) << cls;
    }
}

TEST(Frame, HelpReplacesEverythingButMessageAndPromptWhileSkipKey)
{
    const std::string help = help_text();
    EXPECT_EQ(help.size(), 1419u);
    EXPECT_EQ(std::count(help.begin(), help.end(), '\t'), 4);

    auto g = lit_game();
    copy_text(g->chat_lines[g->chat_count++], "chat");
    copy_text(g->player.message, "hello");
    g->skip_key = 1;
    const std::string f = frame_of(*g);
    EXPECT_EQ(f.find("CHAT HISTORY"), std::string::npos);
    EXPECT_EQ(f.find("MINIMAP"), std::string::npos);
    EXPECT_EQ(g->map[3][3].explored, 0);
    EXPECT_NE(f.find(help), std::string::npos);
    Screen t(f);
    EXPECT_EQ(t.span(1, 1, 60), " Movement (numpad):");
    EXPECT_EQ(t.span(27, 1, 60), "hello");
    EXPECT_EQ(t.span(28, 1, 60), "Input:");
}

// Texts unterminated ('A'), 'B' elsewhere, counts past their arrays: a field read
// past its width prints 'B', a trusted count reads past the record (ASan).
TEST(Frame, DamagedRecordIsReadOnlyWithinItsFields)
{
    auto g = std::make_unique<Game>();
    std::memset(static_cast<void*>(g.get()), 'B', sizeof(Game));
    Item* item = create_blank_item();
    std::memset(static_cast<void*>(item), 'B', sizeof(Item));
    std::memset(item->name, 'A', sizeof item->name);
    for (auto& column : g->map)
        for (Cell& c : column)
            c.glyph = 'g', std::memset(c.color, 'A', sizeof c.color);
    auto fix = [&](auto& e, int x) {
        e.x = x, e.y = 5, e.glyph = 'g';
        std::memset(e.color, 'A', sizeof e.color);
    };
    for (int k = 0; k <= MAX_OTHERS; ++k) {
        Player& p = *player_by_number(*g, k);
        fix(p, 1 + k);
        p.cursor_x = 1 + k, p.cursor_y = 6, p.player_class = CLASS_NECROMANCER;
        p.spell_count = INT_MAX;
        std::memset(p.message, 'A', sizeof p.message);
        std::fill(std::begin(p.inventory), std::end(p.inventory), item);
        p.weapon = p.armor = item;
        for (Spell& s : p.spells)
            std::memset(s.name, 'A', sizeof s.name);
    }
    auto fix_all = [&](auto& entities, int x) {
        for (auto& e : entities)
            fix(e, x);
    };
    fix_all(g->monsters, 7), fix_all(g->floor_items, 8), fix_all(g->projectiles, 9);
    for (Corpse& c : g->corpses)
        c.x = 11, c.y = 5;
    g->stores[0].x = 10, g->stores[0].y = 5;
    for (auto& line : g->chat_lines)
        std::memset(line, 'A', sizeof line);
    g->monster_count = g->floor_item_count = g->corpse_count = g->store_count = INT_MAX;
    g->other_count = g->chat_count = g->controlled_ally = INT_MAX;
    g->ally_control_mode = ALLY_MANUAL, g->ally_controller = 0, g->skip_key = 0;
    for (int slot : {0, 3, -1, INT_MAX}) {
        SCOPED_TRACE(slot);
        std::string out;
        build_frame(*g, slot >= 0 && slot <= 3 ? *player_by_number(*g, slot) : g->player, slot, out);
        EXPECT_EQ(out.find('B'), std::string::npos);
        EXPECT_NE(out.find("Input: "), std::string::npos);
    }
    g->player.spell_count = g->monster_count = g->corpse_count = g->other_count = g->chat_count = INT_MIN;
    g->floor_item_count = g->store_count = -1;
    g->player.x = INT_MAX, g->player.y = INT_MIN;  // the minimap around it must not overflow
    EXPECT_EQ(frame_of(*g).find('B'), std::string::npos);
    destroy_item(item);
}

TEST(Frame, OneWritePerFrameToTheClient)
{
    int sv[2];  // packets keep write boundaries: one recv is one write
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    UniqueFd a(sv[0]), b(sv[1]);
    int big = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    auto g = lit_game();
    set_message(g->player, "%sYou hit the %c!%s", "\x1b[91m", 'o', "\x1b[0m");
    const std::string f = frame_of(*g);
    const std::string tail = "\x1b[27;1H\x1b[37m\x1b[91mYou hit the o!\x1b[0m\x1b[0m"
                             "\x1b[28;1H\x1b[0m\x1b[94mInput: \x1b[0m";
    EXPECT_EQ(f.substr(f.size() - tail.size()), tail);
    set_server_mode(1);
    set_output_fd(sv[0]);
    std::string buf(1 << 20, '\0');
    for (int frame = 0; frame < 2; ++frame) {
        render_screen(*g, g->player, 0);
        ssize_t n = recv(sv[1], buf.data(), buf.size(), MSG_DONTWAIT);
        EXPECT_EQ(buf.substr(0, n > 0 ? std::size_t(n) : 0), f);
        EXPECT_EQ(recv(sv[1], buf.data(), buf.size(), MSG_DONTWAIT), -1);
    }
    set_server_mode(0), set_output_fd(-1);
}

}  // namespace
