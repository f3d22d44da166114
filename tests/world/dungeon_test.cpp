#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "world/dungeon.hpp"
#include "world/items.hpp"
#include "world_fixtures.hpp"

namespace {
using world_test::new_game;

bool on_rim(int x, int y) { return x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1; }

// Free for something generated: unblocked and not the leader's start square.
void expect_free_square(const Game& g, int x, int y, const char* what)
{
    SCOPED_TRACE(what);
    ASSERT_TRUE(in_bounds(x, y)) << x << "," << y;
    EXPECT_EQ(cell_at(g, x, y).blocked, 0) << x << "," << y;
    EXPECT_FALSE(x == 30 && y == 10);
}

TEST(Generation, InvariantsHoldOverManySeeds)
{
    auto g = new_game();
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(seed);
        std::srand(seed);
        g->level = 1;
        generate_level(*g);
        for (int x = 0; x < MAP_WIDTH; ++x) {
            for (int y = 0; y < MAP_HEIGHT; ++y) {
                const Cell& c = cell_at(*g, x, y);
                if (on_rim(x, y)) {
                    ASSERT_EQ(c.glyph, '#');
                    ASSERT_EQ(c.blocked, 1);
                    ASSERT_EQ(c.terrain, TERRAIN_WALL);
                } else {
                    ASSERT_NE(c.terrain, TERRAIN_WALL) << x << "," << y;
                    ASSERT_NE(c.glyph, '#');
                    ASSERT_EQ(c.blocked, c.terrain == TERRAIN_WATER ? 1 : 0);
                }
            }
        }
        expect_free_square(*g, g->stairs_x, g->stairs_y, "stairs");
        EXPECT_EQ(cell_at(*g, g->stairs_x, g->stairs_y).glyph, '>');
        EXPECT_STREQ(cell_at(*g, g->stairs_x, g->stairs_y).color, "\x1b[94m");
        ASSERT_EQ(g->monster_count, 8);
        for (int i = 0; i < 8; ++i)
            expect_free_square(*g, g->monsters[i].x, g->monsters[i].y, "monster");
        ASSERT_EQ(g->floor_item_count, 2);
        for (int i = 0; i < 2; ++i)
            expect_free_square(*g, g->floor_items[i].x, g->floor_items[i].y, "floor item");
        ASSERT_EQ(g->store_count, 1);
        expect_free_square(*g, g->stores[0].x, g->stores[0].y, "shop");
        EXPECT_EQ(g->stores[0].stock_count, 3);
        EXPECT_EQ(g->stores[0].stock[0].kind, ITEM_HEALTH_POTION);
        EXPECT_EQ(g->stores[0].stock[0].value, 25);
        // The leader's own square is always in view once the level exists.
        EXPECT_EQ(cell_at(*g, 30, 10).visible, 1);
        EXPECT_EQ(cell_at(*g, 30, 10).explored, 1);
    }
}

TEST(Generation, FloorItemsScaleWithLevelUpToForty)
{
    auto g = new_game();
    struct {
        int level;
        int expected_level;
        int items;
    } cases[] = { { 1, 1, 2 }, { 0, 1, 2 }, { -7, 1, 2 }, { 5, 5, 10 }, { 19, 19, 38 },
                  { 20, 20, 40 }, { 35, 35, 40 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        std::srand(99);
        g->level = c.level;
        generate_level(*g);
        EXPECT_EQ(g->level, c.expected_level);
        EXPECT_EQ(g->floor_item_count, c.items);
        for (int i = 0; i < g->floor_item_count; ++i) {
            const Item& it = g->floor_items[i];
            EXPECT_TRUE(is_item_kind(it.kind));
            EXPECT_GE(it.quantity, 1);
            EXPECT_EQ(cell_at(*g, it.x, it.y).blocked, 0);
        }
    }
}

TEST(Generation, MonstersScaleWithLevelAndOldSlotsAreCleared)
{
    auto g = new_game();
    g->monsters[20].alive = 1;
    g->monsters[20].is_ally = 1;
    g->monsters[20].ally_turns = 9;
    g->monster_count = 30;
    g->level = 3;
    std::srand(5);
    generate_level(*g);
    ASSERT_EQ(g->monster_count, 8);
    for (int i = 0; i < 8; ++i) {
        const Monster& m = g->monsters[i];
        EXPECT_EQ(m.alive, 1);
        EXPECT_EQ(m.hp, 35);
        EXPECT_EQ(m.max_hp, 35);
        EXPECT_EQ(m.attack, 11);
        EXPECT_EQ(m.defense, 4);
        EXPECT_EQ(m.gold, 11);
        EXPECT_EQ(m.is_ally, 0);
        EXPECT_EQ(m.ally_mode, 0);
        EXPECT_TRUE(m.glyph == 'o' || m.glyph == 's' || m.glyph == 'Z');
    }
    EXPECT_EQ(g->monsters[20].alive, 0);
    EXPECT_EQ(g->monsters[20].is_ally, 0);
    EXPECT_EQ(g->monsters[20].ally_turns, 0);
    EXPECT_EQ(g->monsters[20].ally_mode, ALLY_FOLLOW);
}

TEST(Generation, KeepsTheLeadersStatsAndResetsEverythingElse)
{
    auto g = new_game();
    Player& p = g->player;
    p.hp = 120;
    p.max_hp = 150;
    p.attack = 5;
    p.defense = 3;
    p.gold = -40;
    p.mana = 7;
    p.max_mana = 50;
    p.player_class = CLASS_WIZARD;
    p.spell_count = 2;
    copy_text(p.spells[1].name, "Heal");
    p.x = 4;
    p.y = 4;
    p.cursor_x = 12;
    p.follow_target = 2;
    p.aiming = p.choosing_spell = p.choosing_item = p.running = 1;
    p.invisible_turns = 50;
    p.flying_turns = 60;
    copy_text(p.color, "\x1b[90m");
    p.inventory[0] = create_item(ITEM_SWORD);
    p.inventory[1] = create_item(ITEM_HEAVY_ARMOR);
    p.weapon = p.inventory[0];
    p.armor = p.inventory[1];
    // A second player with items of its own, and a weapon block of its own as a load leaves it.
    g->other_count = 1;
    g->others[0].alive = 1;
    g->others[0].gold = 30;
    g->others[0].inventory[3] = create_item(ITEM_BOW);
    g->others[0].weapon = create_item(ITEM_STAFF);
    copy_text(g->others[0].message, "hello");
    g->wizard_mode = 1;
    g->corpse_count = 4;
    g->turn = 77;
    g->skip_key = 1;
    g->teleport_pending = 1;
    g->controlled_ally = 3;
    g->ally_control_mode = 3;
    g->projectiles[2].active = 1;
    copy_text(g->chat_lines[1], "kept");
    g->chat_count = 2;
    g->level = 4;

    std::time_t before = std::time(nullptr);
    generate_level(*g);

    EXPECT_EQ(p.hp, 120);
    EXPECT_EQ(p.max_hp, 150);
    EXPECT_EQ(p.attack, 5);
    EXPECT_EQ(p.mana, 7);
    EXPECT_EQ(p.player_class, CLASS_WIZARD);
    EXPECT_EQ(p.spell_count, 2);
    EXPECT_STREQ(p.spells[1].name, "Heal");
    EXPECT_EQ(p.cursor_x, 12);
    EXPECT_EQ(p.follow_target, 2);
    EXPECT_EQ(p.defense, 0);
    EXPECT_EQ(p.gold, 0);
    EXPECT_EQ(p.x, 30);
    EXPECT_EQ(p.y, 10);
    EXPECT_EQ(p.glyph, '@');
    EXPECT_STREQ(p.color, "\x1b[36m");
    EXPECT_EQ(p.alive, 1);
    for (Item* slot : p.inventory)
        EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(p.weapon, nullptr);
    EXPECT_EQ(p.armor, nullptr);
    EXPECT_EQ(p.aiming + p.choosing_spell + p.choosing_item + p.running, 0);
    EXPECT_EQ(p.invisible_turns + p.flying_turns, 0);
    EXPECT_EQ(p.selected_spell, -1);
    EXPECT_STREQ(p.message, "Welcome to the Dungeon! Press '?' for help.");

    const Player& o = g->others[0];
    EXPECT_EQ(o.alive, 0);
    EXPECT_EQ(o.gold, 0);
    EXPECT_EQ(o.weapon, nullptr);
    EXPECT_EQ(o.inventory[3], nullptr);
    EXPECT_EQ(o.message[0], '\0');
    EXPECT_EQ(g->others[2].selected_spell, -1);

    EXPECT_EQ(g->other_count, 0);
    EXPECT_EQ(g->wizard_mode, 0);
    EXPECT_EQ(g->corpse_count, 0);
    EXPECT_EQ(g->turn, 0);
    EXPECT_EQ(g->skip_key, 0);
    EXPECT_EQ(g->teleport_pending, 0);
    EXPECT_EQ(g->ally_control_mode, 0);
    EXPECT_EQ(g->controlled_ally, -1);
    EXPECT_EQ(g->ally_controller, -1);
    EXPECT_EQ(g->reserved_c, -1);
    EXPECT_EQ(g->level, 4);
    EXPECT_EQ(g->projectiles[2].active, 1);
    EXPECT_STREQ(g->chat_lines[1], "kept");
    EXPECT_EQ(g->chat_count, 2);
    EXPECT_GE(regen_clock(), before);
    EXPECT_LE(regen_clock(), std::time(nullptr));
}

// The server never seeds rand(), so its first level depends on nothing but
// the order of the draws. This replays that order from the seed alone.
TEST(Generation, PinnedSeedGivesTheSameLevelDrawForDraw)
{
    auto a = new_game();
    auto b = new_game();
    a->level = b->level = 1;
    std::srand(1);
    generate_level(*a);
    std::srand(1);
    generate_level(*b);
    EXPECT_EQ(0, std::memcmp(a->map, b->map, sizeof a->map));
    EXPECT_EQ(0, std::memcmp(a->monsters, b->monsters, sizeof a->monsters));
    EXPECT_EQ(0, std::memcmp(a->floor_items, b->floor_items, sizeof a->floor_items));
    EXPECT_EQ(0, std::memcmp(a->stores, b->stores, sizeof a->stores));

    std::srand(1);
    for (int x = 1; x < MAP_WIDTH - 1; ++x) {
        for (int y = 1; y < MAP_HEIGHT - 1; ++y) {
            int r = std::rand() % 100;
            int terrain = r < 85 ? TERRAIN_FLOOR : r < 92 ? TERRAIN_GRASS : r < 97 ? TERRAIN_WATER
                                                                                : TERRAIN_SHALLOWS;
            ASSERT_EQ(cell_at(*a, x, y).terrain, terrain) << x << "," << y;
        }
    }
    auto next_square = [&](int& x, int& y) {
        do {
            x = std::rand() % 60;
            y = std::rand() % 20;
        } while (cell_at(*a, x, y).blocked || (x == 30 && y == 10));
    };
    int x = 0;
    int y = 0;
    for (int i = 0; i < 8; ++i) {
        next_square(x, y);
        EXPECT_EQ(a->monsters[i].x, x);
        EXPECT_EQ(a->monsters[i].y, y);
        EXPECT_EQ(a->monsters[i].glyph, "osZ"[std::rand() % 3]);
    }
    for (int i = 0; i < 2; ++i) {
        next_square(x, y);
        EXPECT_EQ(a->floor_items[i].x, x);
        int r = std::rand() % 100;
        if (r < 10) {
            EXPECT_EQ(a->floor_items[i].kind, ITEM_HEALTH_POTION);
        } else if (r < 20) {
            EXPECT_EQ(a->floor_items[i].value, std::rand() % 10 + 1);
        } else if (r < 95) {
            EXPECT_EQ(a->floor_items[i].quantity, std::rand() % 10 + 10);
        } else if (r < 99) {
            EXPECT_EQ(a->floor_items[i].quantity, std::rand() % 15 + 15);
        } else {
            EXPECT_EQ(a->floor_items[i].kind, ITEM_CANOE);
        }
    }
    next_square(x, y);
    EXPECT_EQ(a->stores[0].x, x);
    EXPECT_EQ(a->stores[0].y, y);
    EXPECT_EQ(a->stores[0].stock[1].kind, std::rand() % 2 ? ITEM_SLINGSHOT : ITEM_BOW);
    next_square(x, y);
    EXPECT_EQ(a->stairs_x, x);
    EXPECT_EQ(a->stairs_y, y);
}

TEST(Generation, ShopSellsOneOfTheTwoLaunchersWithItsAmmunition)
{
    auto g = new_game();
    bool saw_bow = false;
    bool saw_slingshot = false;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::srand(seed);
        generate_level(*g);
        const Store& s = g->stores[0];
        if (s.stock[1].kind == ITEM_BOW) {
            saw_bow = true;
            EXPECT_EQ(s.stock[1].value, 60);
            EXPECT_EQ(s.stock[2].kind, ITEM_ARROWS);
            EXPECT_STREQ(s.stock[2].name, "Bundle of Arrows");
            EXPECT_EQ(s.stock[2].value, 15);
        } else {
            saw_slingshot = true;
            EXPECT_EQ(s.stock[1].kind, ITEM_SLINGSHOT);
            EXPECT_EQ(s.stock[1].value, 30);
            EXPECT_STREQ(s.stock[2].name, "Pouch of Stones");
            EXPECT_EQ(s.stock[2].value, 10);
        }
    }
    EXPECT_TRUE(saw_bow && saw_slingshot);
}

TEST(Generation, HugeLoadedLevelDoesNotOverflowMonsterNumbers)
{
    auto g = new_game();
    g->level = 2147483000;
    std::srand(3);
    generate_level(*g);
    EXPECT_EQ(g->floor_item_count, MAX_FLOOR_ITEMS);
    EXPECT_EQ(g->monsters[0].hp, 2147483647);
    EXPECT_GT(g->monsters[0].defense, 0);
}

// The plain line test, one line per square in reach, with a floating-point
// distance: the fast pass must agree with it square for square.
bool reference_seen(const Game& g, int x0, int y0, int x, int y)
{
    if (x == x0 && y == y0)
        return true;
    int adx = std::abs(x - x0);
    int ady = std::abs(y - y0);
    int sx = x0 < x ? 1 : -1;
    int sy = y0 < y ? 1 : -1;
    int err = adx > ady ? adx / 2 : -(ady / 2);
    for (int cx = x0, cy = y0;;) {
        if (cell_at(g, cx, cy).blocked)
            return false;
        int e = err;
        if (e > -adx) {
            err -= ady;
            cx += sx;
        }
        if (e < ady) {
            err += adx;
            cy += sy;
        }
        if (cx == x && cy == y)
            return true;
    }
}

TEST(VisibilityPass, AgreesWithThePlainLineTestOnRandomLevels)
{
    auto g = new_game();
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        std::srand(seed);
        generate_level(*g);
        // Crowd the field with water so that many lines are cut.
        for (int i = 0; i < 150; ++i)
            world_test::set_water(*g, 1 + std::rand() % 58, 1 + std::rand() % 18);
        g->other_count = 3;
        for (Player& o : g->others) {
            o.alive = std::rand() % 4 != 0;
            o.x = std::rand() % 60;
            o.y = std::rand() % 20;
        }
        update_visibility(*g);
        for (int x = 0; x < MAP_WIDTH; ++x) {
            for (int y = 0; y < MAP_HEIGHT; ++y) {
                bool seen = false;
                for (int n = 0; n <= g->other_count && !seen; ++n) {
                    const Player& v = *player_by_number(*g, n);
                    seen = v.alive == 1 && distance(v.x, v.y, x, y) <= 10.0 &&
                           reference_seen(*g, v.x, v.y, x, y);
                }
                ASSERT_EQ(cell_at(*g, x, y).visible, seen ? 1 : 0) << x << "," << y;
            }
        }
    }
}

// Visibility on a hand-built field, so the lines of sight are known.
class Visibility : public ::testing::Test {
protected:
    void SetUp() override
    {
        world_test::make_open_field(*g);
        g->player.alive = 1;
        g->player.x = 30;
        g->player.y = 10;
    }
    int visible(int x, int y) const { return cell_at(*g, x, y).visible; }
    int visible_count() const
    {
        int n = 0;
        for (const auto& column : g->map) {
            for (const Cell& c : column)
                n += c.visible;
        }
        return n;
    }
    world_test::GamePtr g = new_game();
};

TEST_F(Visibility, SeesARoundFieldOfRadiusTenWithWallsAtItsEdge)
{
    update_visibility(*g);
    EXPECT_EQ(visible(30, 10), 1);
    EXPECT_EQ(visible(40, 10), 1);
    EXPECT_EQ(visible(41, 10), 0);
    EXPECT_EQ(visible(37, 17), 1);   // distance 9.9
    EXPECT_EQ(visible(38, 17), 0);   // distance 10.6
    EXPECT_EQ(visible(30, 0), 1);    // the rim wall at distance 10
    EXPECT_EQ(visible(30, 19), 1);
    EXPECT_EQ(cell_at(*g, 40, 10).explored, 1);
}

TEST_F(Visibility, BlockedSquareIsSeenButHidesWhatLiesBehind)
{
    world_test::set_water(*g, 33, 10);
    update_visibility(*g);
    EXPECT_EQ(visible(32, 10), 1);
    EXPECT_EQ(visible(33, 10), 1);
    EXPECT_EQ(visible(34, 10), 0);
    EXPECT_EQ(visible(38, 10), 0);

    // A second viewer beyond the water sees the hidden squares: views add up.
    g->other_count = 1;
    g->others[0].alive = 1;
    g->others[0].x = 36;
    g->others[0].y = 10;
    update_visibility(*g);
    EXPECT_EQ(visible(34, 10), 1);
    EXPECT_EQ(visible(20, 10), 1);   // only the leader sees this far west
    EXPECT_EQ(visible(46, 10), 1);   // only the second viewer sees this far east
}

TEST_F(Visibility, ExploredStaysWhenTheViewMovesOn)
{
    update_visibility(*g);
    g->player.x = 50;
    update_visibility(*g);
    EXPECT_EQ(visible(25, 10), 0);
    EXPECT_EQ(cell_at(*g, 25, 10).explored, 1);
    EXPECT_EQ(visible(55, 10), 1);
}

TEST_F(Visibility, ViewerOnABlockedSquareSeesOnlyItsOwnSquare)
{
    world_test::set_water(*g, 30, 10);
    update_visibility(*g);
    EXPECT_EQ(visible(30, 10), 1);
    EXPECT_EQ(visible_count(), 1);

    g->other_count = 1;
    g->others[0].alive = 1;
    g->others[0].x = 32;
    g->others[0].y = 10;
    update_visibility(*g);
    EXPECT_EQ(visible(31, 10), 1);
    EXPECT_EQ(visible(29, 10), 0) << "the leader's water square hides what is behind it";
    EXPECT_EQ(visible(29, 11), 1);
    EXPECT_GT(visible_count(), 100);
}

TEST_F(Visibility, OnlyLivingPlayersInUseAreViewers)
{
    g->player.alive = 0;
    g->others[0].alive = 1;  // alive but beyond other_count
    g->others[0].x = 10;
    g->others[0].y = 10;
    g->other_count = 0;
    cell_at(*g, 5, 5).visible = 1;
    update_visibility(*g);
    EXPECT_EQ(visible_count(), 0);

    g->other_count = 1;
    update_visibility(*g);
    EXPECT_EQ(visible(10, 10), 1);
    EXPECT_EQ(visible(30, 10), 0);
}

TEST_F(Visibility, ViewersInCornersAndOffTheMapAreSafe)
{
    g->player.x = 1;
    g->player.y = 1;
    g->other_count = 2;
    g->others[0].alive = 1;
    g->others[0].x = 58;
    g->others[0].y = 18;
    g->others[1].alive = 1;  // a damaged record: a living viewer off the map
    g->others[1].x = -400;
    g->others[1].y = 7000;
    update_visibility(*g);
    EXPECT_EQ(visible(0, 0), 1);
    EXPECT_EQ(visible(59, 19), 1);
    EXPECT_EQ(visible(30, 10), 0);
}

}  // namespace
