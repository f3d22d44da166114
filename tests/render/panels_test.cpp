// The side panels and the help text as they appear on the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "render/scene.hpp"
#include "world/items.hpp"

namespace {
using test::lit_game;
using test::screen_of;

constexpr int COL = 65;

// The viewer's carried items, released at the end of each test.
struct Carried {
    explicit Carried(Player& p) : player(p) {}
    ~Carried() { free_inventory(player); }
    Item* make(int kind, const char* name, int value, int quantity)
    {
        Item* it = create_blank_item();
        it->kind = kind;
        copy_text(it->name, name);
        it->value = value;
        it->quantity = quantity;
        return it;
    }
    Player& player;
};

// The panel text of a row; rows 1-12 stop short of the minimap in column 85.
std::string panel_row(const test::VTerm& t, int row)
{
    return t.span(row, COL, row <= 12 ? 20 : 50);
}

TEST(StatsPanel, ValuesWithEquipmentAndStacks)
{
    auto g = lit_game();
    Player& p = g->player;
    Carried carried(p);
    p.hp = -4;
    p.max_hp = 120;
    p.mana = 7;
    p.max_mana = 30;
    p.attack = 6;
    p.defense = 2;
    p.gold = 1234;
    g->level = 3;
    g->turn = 77;
    p.inventory[0] = carried.make(ITEM_SWORD, "Sword", 5, 1);
    p.inventory[2] = carried.make(ITEM_ARROWS, "Arrows", 1, 12);
    p.inventory[9] = carried.make(ITEM_LEATHER_ARMOR, "Leather Armor", 2, 1);
    p.weapon = p.inventory[0];
    p.armor = p.inventory[9];
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(panel_row(t, 1), "--- STATS ---");
    EXPECT_EQ(t.color(1, COL), 94);
    EXPECT_EQ(panel_row(t, 2), "Health: -4/120");
    EXPECT_EQ(t.color(2, COL), 31);
    EXPECT_EQ(panel_row(t, 3), "Mana: 7/30");
    EXPECT_EQ(panel_row(t, 4), "Attack: 11");
    EXPECT_EQ(panel_row(t, 5), "Defense: 4");
    EXPECT_EQ(panel_row(t, 6), "Gold: 1234");
    EXPECT_EQ(panel_row(t, 7), "Level: 3");
    EXPECT_EQ(panel_row(t, 8), "Turn: 77");
    EXPECT_EQ(panel_row(t, 9), "Wizard Mode: OFF");
    EXPECT_EQ(panel_row(t, 10), "--- INVENTORY ---");
    EXPECT_EQ(panel_row(t, 11), "1: Sword");
    EXPECT_EQ(panel_row(t, 12), "2: Empty");
    EXPECT_EQ(panel_row(t, 13), "3: Arrows (12)");
    EXPECT_EQ(panel_row(t, 20), "10: Leather Armor");
    EXPECT_EQ(panel_row(t, 21), "Weapon: Sword");
    EXPECT_EQ(panel_row(t, 22), "Armor: Leather Armor");
    EXPECT_EQ(panel_row(t, 23), "");  // a Fighter has no allies block
    EXPECT_EQ(t.row(28), "Input:");  // nor a spell list

    p.weapon = nullptr;
    p.armor = nullptr;
    g->wizard_mode = 1;
    test::VTerm bare = screen_of(*g);
    EXPECT_EQ(panel_row(bare, 4), "Attack: 6");
    EXPECT_EQ(panel_row(bare, 5), "Defense: 2");
    EXPECT_EQ(panel_row(bare, 9), "Wizard Mode: ON");
    EXPECT_EQ(panel_row(bare, 21), "Weapon: None");
    EXPECT_EQ(panel_row(bare, 22), "Armor: None");
}

void add_ally(Game& g, char glyph, int mode, int hp, bool ally = true, bool alive = true)
{
    Monster& m = g.monsters[g.monster_count++];
    m.x = 1;
    m.y = 1;
    m.glyph = glyph;
    m.alive = alive;
    m.is_ally = ally;
    m.ally_mode = mode;
    m.hp = hp;
    copy_text(m.color, "\x1b[95m");
}

TEST(StatsPanel, AlliesBlockForNecromancersAndWizardMode)
{
    auto g = lit_game();
    g->player.player_class = CLASS_NECROMANCER;
    test::VTerm none = screen_of(*g);
    EXPECT_EQ(panel_row(none, 23), "--- ALLIES ---");
    EXPECT_EQ(none.color(23, COL), 95);
    EXPECT_EQ(panel_row(none, 24), "None");
    EXPECT_EQ(none.color(24, COL), 90);

    add_ally(*g, 'Z', ALLY_FOLLOW, 7);
    add_ally(*g, 'o', ALLY_ATTACK, 3, false);  // hostile: not listed
    add_ally(*g, 's', ALLY_MANUAL, 9, true, false);  // dead: not listed
    add_ally(*g, 'o', ALLY_MANUAL, 12);
    add_ally(*g, 'Z', 0, -1);
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(panel_row(t, 24), "Z [Follow] (7 HP)");
    EXPECT_EQ(t.color(24, COL), 95);
    EXPECT_EQ(panel_row(t, 25), "o [Manual] (12 HP)");
    EXPECT_EQ(panel_row(t, 26), "Z [None] (-1 HP)");
    EXPECT_EQ(t.row(27), "");

    g->player.player_class = CLASS_FIGHTER;
    EXPECT_EQ(panel_row(screen_of(*g), 23), "");
    g->wizard_mode = 1;
    EXPECT_EQ(panel_row(screen_of(*g), 24), "Z [Follow] (7 HP)");
}

void give_spells(Player& p)
{
    p.spell_count = 2;
    copy_text(p.spells[0].name, "Fireball");
    p.spells[0].mana_cost = 10;
    copy_text(p.spells[1].name, "Heal");
    p.spells[1].mana_cost = 5;
}

TEST(SpellsPanel, OnlyForWizardsAndNecromancers)
{
    auto g = lit_game();
    give_spells(g->player);
    g->player.player_class = CLASS_WIZARD;
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(panel_row(t, 28), "--- SPELLS ---");
    EXPECT_EQ(t.color(28, COL), 94);
    EXPECT_EQ(panel_row(t, 29), "1: Fireball (10 mana)");
    EXPECT_EQ(panel_row(t, 30), "2: Heal (5 mana)");
    EXPECT_EQ(panel_row(t, 23), "");  // a Wizard gets no allies block

    g->player.player_class = CLASS_NECROMANCER;
    test::VTerm necro = screen_of(*g);
    EXPECT_EQ(panel_row(necro, 23), "--- ALLIES ---");
    EXPECT_EQ(panel_row(necro, 29), "1: Fireball (10 mana)");

    for (int cls : {0, 2, 5, -1}) {
        g->player.player_class = cls;
        EXPECT_EQ(screen_of(*g).contains("SPELLS"), false) << cls;
    }
}

// Minimap row r (2..12) as its 11 cells, plus the cell after it.
std::string minimap_row(const test::VTerm& t, int r) { return t.text(r, 85, 12); }

TEST(Minimap, ElevenCellsAroundTheViewerBlankOffMapAndUnexplored)
{
    auto g = lit_game(false);
    for (auto& column : g->map) {
        for (Cell& c : column)
            c.explored = 1;
    }
    g->player.x = 2;
    g->player.y = 1;
    g->map[4][1].explored = 0;
    test::VTerm t = screen_of(*g);
    EXPECT_EQ(t.text(1, 85, 15), "--- MINIMAP ---");
    EXPECT_EQ(minimap_row(t, 2), "            ");  // y = -5..-2
    EXPECT_EQ(minimap_row(t, 5), "            ");
    EXPECT_EQ(minimap_row(t, 6), "   ######## ");  // y = 0
    EXPECT_EQ(minimap_row(t, 7), "   #.@. ... ");  // y = 1, (4, 1) never seen
    EXPECT_EQ(minimap_row(t, 8), "   #....... ");
    EXPECT_EQ(t.color(7, 90), 36);  // the viewer in its own colour
    EXPECT_EQ(t.color(7, 88), 33);  // remembered cells keep their colour
    EXPECT_EQ(t.color(7, 89), 90);

    // At the far corner the padding is on the other side.
    g->player.x = 58;
    g->player.y = 18;
    test::VTerm corner = screen_of(*g);
    EXPECT_EQ(minimap_row(corner, 7), ".....@#     ");
    EXPECT_EQ(minimap_row(corner, 8), "#######     ");
    EXPECT_EQ(minimap_row(corner, 9), "            ");
}

TEST(Minimap, ShowsNeitherMonstersNorItems)
{
    auto g = lit_game();
    Monster& m = g->monsters[0];
    m.x = 31;
    m.y = 10;
    m.alive = 1;
    m.glyph = 'o';
    g->monster_count = 1;
    EXPECT_EQ(minimap_row(screen_of(*g), 7), ".....@..... ");
}

TEST(HelpText, TheWholeTextWithItsTabs)
{
    const std::string help = help_text();
    EXPECT_EQ(help.size(), 1419u);
    EXPECT_EQ(std::count(help.begin(), help.end(), '\t'), 4);
    EXPECT_NE(help.find("   r\t     \x1b[94mInitiate Running Mode"), std::string::npos);
    EXPECT_NE(help.find("Enter 'follow' mode\t\t\t      \n"), std::string::npos);
    EXPECT_EQ(help.rfind("\x1b[94m Movement (numpad):\n", 0), 0u);
    EXPECT_EQ(help.substr(help.size() - 5), "\n\x1b[0m");
    test::VTerm t;
    t.feed(help);
    EXPECT_EQ(t.unknown_sequences(), 0);
    EXPECT_EQ(t.row(5), " Actions:");
    EXPECT_EQ(t.row(6), "   , or g    Pick up item");
    EXPECT_EQ(t.row(19), "   q         Quit / suicide");
    EXPECT_EQ(t.row(22), "           Press any key to return to the game...");
}

}  // namespace
