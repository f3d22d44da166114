#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "world/dungeon.hpp"
#include "world_fixtures.hpp"

namespace {
using world_test::new_game;

bool on_rim(int x, int y) { return x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1; }

// Free for something generated: unblocked and not the leader's start square.
bool free_square(const Game& g, int x, int y)
{
    return in_bounds(x, y) && !cell_at(g, x, y).blocked && !(x == 30 && y == 10);
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
                ASSERT_EQ(c.terrain == TERRAIN_WALL, on_rim(x, y)) << x << "," << y;
                ASSERT_EQ(c.blocked, on_rim(x, y) || c.terrain == TERRAIN_WATER ? 1 : 0);
            }
        }
        EXPECT_TRUE(free_square(*g, g->stairs_x, g->stairs_y));
        EXPECT_EQ(cell_at(*g, g->stairs_x, g->stairs_y).glyph, '>');
        ASSERT_EQ(g->monster_count, 8);
        for (int i = 0; i < 8; ++i)
            EXPECT_TRUE(free_square(*g, g->monsters[i].x, g->monsters[i].y)) << "monster " << i;
        ASSERT_EQ(g->floor_item_count, 2);
        for (int i = 0; i < 2; ++i)
            EXPECT_TRUE(free_square(*g, g->floor_items[i].x, g->floor_items[i].y)) << "item " << i;
        ASSERT_EQ(g->store_count, 1);
        EXPECT_TRUE(free_square(*g, g->stores[0].x, g->stores[0].y));
        EXPECT_EQ(cell_at(*g, 30, 10).visible, 1);
    }
}

TEST(Generation, FloorItemsAndMonstersScaleWithTheLevel)
{
    auto g = new_game();
    // A loaded record may carry any level: the counts and numbers must not overflow.
    const struct {
        int level, kept_level, items, monster_hp;
    } cases[] = { { 1, 1, 2, 25 },    { 0, 1, 2, 25 },    { -7, 1, 2, 25 },
                  { 3, 3, 6, 35 },    { 19, 19, 38, 115 }, { 20, 20, 40, 120 },
                  { 35, 35, 40, 195 }, { 2147483000, 2147483000, 40, 2147483647 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        std::srand(99);
        g->level = c.level;
        generate_level(*g);
        EXPECT_EQ(g->level, c.kept_level);
        EXPECT_EQ(g->floor_item_count, c.items);
        EXPECT_EQ(g->monsters[7].hp, c.monster_hp);
    }
    g->level = 3;
    g->monsters[20].alive = g->monsters[20].is_ally = 1;
    generate_level(*g);
    const Monster& m = g->monsters[0];
    EXPECT_EQ(m.max_hp, 35);
    EXPECT_EQ(m.attack, 11);
    EXPECT_EQ(m.defense, 4);
    EXPECT_EQ(m.gold, 11);
    EXPECT_EQ(m.ally_mode, 0);
    EXPECT_EQ(g->monsters[20].alive + g->monsters[20].is_ally, 0);
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
    p.player_class = CLASS_WIZARD;
    p.spell_count = 2;
    p.x = p.y = 4;
    p.aiming = p.choosing_item = p.running = 1;
    p.invisible_turns = 50;
    copy_text(p.color, "\x1b[90m");
    p.inventory[0] = create_item(ITEM_SWORD);
    p.weapon = p.inventory[0];
    // A second player whose weapon is a block of its own, as a load leaves it.
    g->other_count = 1;
    g->others[0].alive = 1;
    g->others[0].gold = 30;
    g->others[0].inventory[3] = create_item(ITEM_BOW);
    g->others[0].weapon = create_item(ITEM_STAFF);
    g->wizard_mode = g->skip_key = g->teleport_pending = 1;
    g->corpse_count = 4;
    g->turn = 77;
    g->controlled_ally = 3;
    g->projectiles[2].active = 1;
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
    EXPECT_EQ(p.defense, 0);
    EXPECT_EQ(p.gold, 0);
    EXPECT_EQ(p.x * 100 + p.y, 3010);
    EXPECT_EQ(p.alive, 1);
    EXPECT_EQ(p.inventory[0], nullptr);
    EXPECT_EQ(p.weapon, nullptr);
    EXPECT_EQ(p.aiming + p.choosing_item + p.running + p.invisible_turns, 0);
    EXPECT_EQ(p.selected_spell, -1);
    EXPECT_STREQ(p.color, "\x1b[36m");
    EXPECT_STREQ(p.message, "Welcome to the Dungeon! Press '?' for help.");
    EXPECT_EQ(g->others[0].alive + g->others[0].gold, 0);
    EXPECT_EQ(g->others[0].weapon, nullptr);
    EXPECT_EQ(g->others[0].inventory[3], nullptr);
    EXPECT_EQ(g->other_count + g->wizard_mode + g->skip_key + g->teleport_pending, 0);
    EXPECT_EQ(g->corpse_count + g->turn, 0);
    EXPECT_EQ(g->controlled_ally, -1);
    EXPECT_EQ(g->ally_controller, -1);
    EXPECT_EQ(g->level, 4);
    EXPECT_EQ(g->projectiles[2].active, 1);
    EXPECT_EQ(g->chat_count, 2);
    EXPECT_GE(regen_clock(), before);
}

// The server never seeds rand(), so its first level rests on the order of the
// draws alone. This replays that order from the seed.
TEST(Generation, PinnedSeedGivesTheSameLevelDrawForDraw)
{
    auto a = new_game();
    a->level = 1;
    std::srand(1);
    generate_level(*a);
    std::srand(1);
    for (int x = 1; x < MAP_WIDTH - 1; ++x) {
        for (int y = 1; y < MAP_HEIGHT - 1; ++y) {
            int r = std::rand() % 100;
            int terrain = r < 85 ? TERRAIN_FLOOR : r < 92 ? TERRAIN_GRASS : r < 97 ? TERRAIN_WATER
                                                                                : TERRAIN_SHALLOWS;
            ASSERT_EQ(cell_at(*a, x, y).terrain, terrain) << x << "," << y;
        }
    }
    int x = 0;
    int y = 0;
    auto next_square = [&] {
        do {
            x = std::rand() % 60;
            y = std::rand() % 20;
        } while (!free_square(*a, x, y));
    };
    for (int i = 0; i < 8; ++i) {
        next_square();
        EXPECT_EQ(a->monsters[i].x * 100 + a->monsters[i].y, x * 100 + y);
        EXPECT_EQ(a->monsters[i].glyph, "osZ"[std::rand() % 3]);
    }
    // The rest follows from the same draws: a second run matches byte for byte.
    auto b = new_game();
    b->level = 1;
    std::srand(1);
    generate_level(*b);
    EXPECT_EQ(0, std::memcmp(&a->map, &b->map, offsetof(Game, corpses) - offsetof(Game, map)));
    EXPECT_EQ(a->stairs_x * 100 + a->stairs_y, b->stairs_x * 100 + b->stairs_y);
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
    void add_viewer(int x, int y)
    {
        Player& o = g->others[g->other_count++];
        o.alive = 1;
        o.x = x;
        o.y = y;
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

TEST_F(Visibility, BlockedSquareIsSeenButHidesWhatLiesBehindUnlessAnotherViewerSeesIt)
{
    world_test::set_water(*g, 33, 10);
    update_visibility(*g);
    EXPECT_EQ(visible(33, 10), 1);
    EXPECT_EQ(visible(34, 10), 0);
    EXPECT_EQ(visible(30, 0), 1) << "the rim wall at distance 10";
    EXPECT_EQ(visible(41, 10), 0) << "beyond the radius";
    add_viewer(36, 10);
    update_visibility(*g);
    EXPECT_EQ(visible(34, 10), 1);
    EXPECT_EQ(visible(20, 10) + visible(46, 10), 2) << "each viewer's own far edge";
    g->player.x = 50;
    g->other_count = 0;
    update_visibility(*g);
    EXPECT_EQ(visible(25, 10), 0);
    EXPECT_EQ(cell_at(*g, 25, 10).explored, 1) << "explored outlasts the view";
}

TEST_F(Visibility, ViewerOnABlockedSquareSeesOnlyItsOwnSquare)
{
    world_test::set_water(*g, 30, 10);
    update_visibility(*g);
    EXPECT_EQ(visible(30, 10), 1);
    EXPECT_EQ(visible_count(), 1);
    add_viewer(32, 10);
    update_visibility(*g);
    EXPECT_EQ(visible(31, 10), 1);
    EXPECT_EQ(visible(29, 10), 0) << "the leader's water square hides what is behind it";
    EXPECT_GT(visible_count(), 100);
}

TEST_F(Visibility, OnlyLivingPlayersInUseAreViewersAndOddPositionsAreSafe)
{
    g->player.alive = 0;
    add_viewer(10, 10);
    g->other_count = 0;  // alive, but its slot is not in use
    update_visibility(*g);
    EXPECT_EQ(visible_count(), 0);
    g->other_count = 1;
    add_viewer(58, 18);
    add_viewer(-400, 7000);  // a damaged record: a living viewer off the map
    update_visibility(*g);
    EXPECT_EQ(visible(10, 10) + visible(59, 19), 2);
    EXPECT_EQ(visible(30, 10), 0);
}

}  // namespace
