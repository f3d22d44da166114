#include <gtest/gtest.h>
#include <cstdlib>
#include <ctime>
#include "world/dungeon.hpp"
#include "world/effects.hpp"
#include "world_fixtures.hpp"

namespace {
using world_test::new_game;

bool on_rim(int x, int y) { return x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1; }

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
        for (int x = 0; x < MAP_WIDTH; ++x)
            for (int y = 0; y < MAP_HEIGHT; ++y) {
                const Cell& c = cell_at(*g, x, y);
                ASSERT_EQ(c.terrain == TERRAIN_WALL, on_rim(x, y)) << x << "," << y;
                ASSERT_EQ(c.blocked, on_rim(x, y) || c.terrain == TERRAIN_WATER ? 1 : 0);
            }
        EXPECT_TRUE(free_square(*g, g->stairs_x, g->stairs_y));
        EXPECT_EQ(cell_at(*g, g->stairs_x, g->stairs_y).glyph, '>');
        ASSERT_EQ(g->monster_count * 10 + g->floor_item_count, 82);
        for (int i = 0; i < 8; ++i)
            EXPECT_TRUE(free_square(*g, g->monsters[i].x, g->monsters[i].y) &&
                        free_square(*g, g->floor_items[i % 2].x, g->floor_items[i % 2].y)) << i;
        EXPECT_TRUE(g->store_count == 1 && free_square(*g, g->stores[0].x, g->stores[0].y));
        EXPECT_EQ(cell_at(*g, 30, 10).visible, 1);
    }
}

TEST(Generation, ScalesWithTheLevelKeepsTheLeadersStatsAndResetsEverythingElse)
{
    auto g = new_game();
    const struct {
        int level, items, monster_hp;
    } cases[] = { { 1, 2, 25 }, { -7, 2, 25 }, { 3, 6, 35 }, { 20, 40, 120 }, { 35, 40, 195 },
                  { 2147483000, 40, 2147483647 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        std::srand(99);
        g->level = c.level;
        generate_level(*g);
        EXPECT_EQ(g->level, c.level < 1 ? 1 : c.level);
        EXPECT_EQ(g->floor_item_count, c.items);
        EXPECT_EQ(g->monsters[7].hp, c.monster_hp);
    }
    Player& p = g->player;
    p.hp = 120, p.max_hp = 150, p.attack = 5, p.mana = 7, p.spell_count = 2;
    p.defense = 3, p.gold = -40, p.x = p.y = 4, p.player_class = CLASS_WIZARD;
    p.aiming = p.choosing_item = p.running = 1, p.invisible_turns = 50;
    copy_text(p.color, "\x1b[90m");
    p.inventory[0] = p.weapon = create_item(ITEM_SWORD);
    Player& o = g->others[0];  // weapon a block of its own, as a load leaves it
    o.alive = 1, o.gold = 30, o.inventory[3] = create_item(ITEM_BOW), o.weapon = create_item(ITEM_STAFF);
    g->other_count = g->wizard_mode = g->skip_key = g->teleport_pending = 1;
    g->corpse_count = 4, g->turn = 77, g->controlled_ally = 3, g->level = 4;
    g->projectiles[2].active = 1, g->chat_count = 2;
    g->monsters[20].alive = g->monsters[20].is_ally = 1;
    generate_level(*g);

    EXPECT_EQ(p.hp * 1000 + p.max_hp, 120150);
    EXPECT_EQ(p.attack * 100 + p.mana * 10 + p.spell_count, 572);
    EXPECT_EQ(p.player_class * 10 + p.alive, CLASS_WIZARD * 10 + 1);
    EXPECT_EQ(p.x * 100 + p.y, 3010);
    EXPECT_EQ(p.defense + p.gold + p.aiming + p.choosing_item + p.running + p.invisible_turns, 0);
    EXPECT_EQ(p.selected_spell, -1);
    EXPECT_TRUE(!p.inventory[0] && !p.weapon && !o.weapon && !o.inventory[3]);
    EXPECT_STREQ(p.color, "\x1b[36m");
    EXPECT_STREQ(p.message, "Welcome to the Dungeon! Press '?' for help.");
    EXPECT_EQ(o.alive + o.gold + g->other_count + g->wizard_mode + g->skip_key, 0);
    EXPECT_EQ(g->teleport_pending + g->corpse_count + g->turn, 0);
    EXPECT_EQ(g->controlled_ally + g->ally_controller, -2);
    EXPECT_EQ(g->level * 100 + g->projectiles[2].active * 10 + g->chat_count, 412);
    EXPECT_GE(regen_clock() + 5, std::time(nullptr));
    const Monster& m = g->monsters[0];
    EXPECT_EQ(m.max_hp * 1000 + m.attack * 100 + m.defense * 10 + m.ally_mode, 41350);
    EXPECT_EQ(m.gold * 10 + g->monsters[20].alive + g->monsters[20].is_ally, 130);
    EXPECT_EQ(g->monsters[20].ally_mode, ALLY_FOLLOW);
}

// The server never seeds rand(): its first level rests on the order of the draws.
TEST(Generation, PinnedSeedGivesTheSameLevelDrawForDraw)
{
    auto a = new_game();
    a->level = 1;
    std::srand(1);
    generate_level(*a);
    std::srand(1);
    for (int x = 1; x < MAP_WIDTH - 1; ++x)
        for (int y = 1; y < MAP_HEIGHT - 1; ++y) {
            int r = std::rand() % 100;
            int terrain = r < 85 ? TERRAIN_FLOOR : r < 92 ? TERRAIN_GRASS : r < 97 ? TERRAIN_WATER : TERRAIN_SHALLOWS;
            ASSERT_EQ(cell_at(*a, x, y).terrain, terrain) << x << "," << y;
        }
    for (int i = 0, x = 0, y = 0; i < 8; ++i) {
        do {
            x = std::rand() % 60, y = std::rand() % 20;
        } while (!free_square(*a, x, y));
        EXPECT_EQ(a->monsters[i].x * 100 + a->monsters[i].y, x * 100 + y);
        EXPECT_EQ(a->monsters[i].glyph, "osZ"[std::rand() % 3]);
    }
}

TEST(Visibility, BlockedSquaresUnionOfViewersAndOnlyLivingViewersInUse)
{
    auto g = new_game();
    world_test::make_open_field(*g);
    Player& p = g->player;
    p.alive = 1, p.x = 30, p.y = 10;
    auto seen = [&](int x, int y) { return cell_at(*g, x, y).visible; };
    auto seen_count = [&] {
        int n = 0;
        for (int i = 0; i < MAP_WIDTH * MAP_HEIGHT; ++i)
            n += seen(i / MAP_HEIGHT, i % MAP_HEIGHT);
        return n;
    };
    auto set_viewer = [&](int i, int x, int y) {
        g->others[i].alive = 1, g->others[i].x = x, g->others[i].y = y;
        g->other_count = i + 1;
    };
    world_test::set_water(*g, 33, 10);
    update_visibility(*g);
    EXPECT_EQ(seen(33, 10) * 10 + seen(34, 10), 10) << "seen, but hides what lies behind";
    EXPECT_EQ(seen(30, 0) * 10 + seen(41, 10), 10) << "the radius is 10";
    set_viewer(0, 36, 10);
    update_visibility(*g);
    EXPECT_EQ(seen(34, 10) + seen(20, 10) + seen(46, 10), 3) << "union of the viewers";
    p.x = 50, g->other_count = 0;
    update_visibility(*g);
    EXPECT_EQ(seen(25, 10), 0);
    EXPECT_EQ(cell_at(*g, 25, 10).explored, 1) << "explored outlasts the view";

    world_test::make_open_field(*g);
    world_test::set_water(*g, 30, 10);
    p.x = 30;
    update_visibility(*g);
    EXPECT_EQ(seen_count(), 1) << "a viewer on a blocked square sees only that square";
    p.alive = 0, g->others[0].x = 10;  // others[0] alive, but its slot is not in use
    update_visibility(*g);
    EXPECT_EQ(seen_count(), 0);
    set_viewer(1, 58, 18);
    set_viewer(2, -400, 7000);  // a damaged record: a living viewer off the map
    update_visibility(*g);
    EXPECT_EQ(seen(10, 10) + seen(59, 19) + seen(30, 10), 2);
}

constexpr const char* INVISIBILITY_OFF = "\x1b[33mYour invisibility wears off.\x1b[0m";
constexpr const char* FLYING_OFF = "\x1b[33mYour flying wears off.\x1b[0m";
constexpr const char* GREY = "\x1b[90m";

Player& caster(Game& g, int number, int cls, int mana, int max_mana)
{
    Player& p = *player_by_number(g, number);
    p.alive = 1, p.player_class = cls, p.mana = mana, p.max_mana = max_mana;
    copy_text(p.color, GREY);
    return p;
}
void make_due() { set_regen_clock(std::time(nullptr) - 120); }

TEST(Effects, ClockRegenerationInvisibilityTwiceWhileDueFadeColourAndSpellLengths)
{
    auto g = new_game();
    set_regen_clock(0);
    Player& wizard = caster(*g, 0, CLASS_WIZARD, 140, 150);
    wizard.flying_turns = 5;
    update_effects(*g);
    EXPECT_GT(regen_clock(), 0);
    EXPECT_EQ(wizard.mana * 10 + wizard.flying_turns, 1405) << "the first call only starts it";
    g->other_count = 3;
    Player& necro = caster(*g, 1, CLASS_NECROMANCER, 10, 120);
    Player& rogue = caster(*g, 2, CLASS_ROGUE, 10, 80);
    caster(*g, 3, CLASS_WIZARD, 10, 150).alive = 0;
    set_regen_clock(std::time(nullptr) - 119);
    update_effects(*g);
    EXPECT_EQ(wizard.mana, 140) << "not due yet";
    make_due();
    update_effects(*g);
    EXPECT_STREQ(wizard.message, "\x1b[96mYou feel your magical energy restore (+10 mana)\x1b[0m");
    EXPECT_EQ(wizard.mana * 1000 + necro.mana, 150030);
    EXPECT_EQ(rogue.mana + g->others[2].mana, 20) << "rogues and the dead never regenerate";
    update_effects(*g);
    EXPECT_EQ(necro.mana, 30) << "the clock restarted";

    g->other_count = 1;  // no caster regenerates now
    Player& p = caster(*g, 0, CLASS_FIGHTER, 0, 50);
    Player& dead = caster(*g, 1, CLASS_FIGHTER, 0, 0);
    p.invisible_turns = p.flying_turns = 10;
    dead.invisible_turns = 2, dead.alive = 0;  // counted down all the same
    make_due();
    update_effects(*g);
    EXPECT_STREQ(dead.message, INVISIBILITY_OFF);
    EXPECT_STREQ(dead.color, GREY);
    update_effects(*g);
    EXPECT_LE(regen_clock(), std::time(nullptr) - 120) << "the clock stays due";
    EXPECT_EQ(p.invisible_turns * 10 + p.flying_turns, 68) << "flight runs down by one";
    p.invisible_turns = 1;
    update_effects(*g);
    EXPECT_STREQ(p.message, "\x1b[33mYour invisibility fades...\x1b[0m");
    EXPECT_STREQ(p.color, "\x1b[36m");

    g->other_count = 0;
    copy_text(p.color, GREY);
    p.invisible_turns = 400, p.flying_turns = 420;
    g->others[0].flying_turns = 3;  // not in use: other_count is 0
    set_regen_clock(std::time(nullptr));
    for (int i = 0; i < 400; ++i)
        update_effects(*g);
    EXPECT_STREQ(p.message, INVISIBILITY_OFF);
    EXPECT_STREQ(p.color, GREY);
    for (int i = 0; i < 19; ++i)
        update_effects(*g);
    EXPECT_EQ(p.flying_turns * 10 + g->others[0].flying_turns, 13);
    update_effects(*g);
    EXPECT_STREQ(p.message, FLYING_OFF);
    p.invisible_turns = p.flying_turns = 1;
    update_effects(*g);
    EXPECT_STREQ(p.message, FLYING_OFF) << "flight's message wins when both end together";
}

}  // namespace
