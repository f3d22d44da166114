#include <gtest/gtest.h>

#include "world/game.hpp"
#include "world/items.hpp"

namespace {

TEST(GameRecord, MapIsStoredColumnByColumn)
{
    Game& g = local_game();
    auto offset = [&](int x, int y) {
        return reinterpret_cast<const char*>(&g.map[x][y]) - reinterpret_cast<const char*>(&g);
    };
    EXPECT_EQ(offset(0, 19) + 40, offset(1, 0));
    EXPECT_EQ(offset(59, 19) + 40, static_cast<long>(offsetof(Game, player)));
}

TEST(GameRecord, StaticRecordsStartZeroed)
{
    const Game& g = server_game();
    EXPECT_EQ(g.level, 0);
    EXPECT_EQ(g.player.inventory[0], nullptr);
    EXPECT_NE(&local_game(), &server_game());
}

TEST(GameRecord, CorpseListStopsAtTen)
{
    static Game g {};
    EXPECT_EQ(find_corpse_at(g, 3, 4), nullptr);
    for (int i = 0; i < MAX_CORPSES; ++i)
        add_corpse(g, i, 1, -i, 30, 7, 2);
    Game before = g;
    add_corpse(g, 50, 5, 0, 30, 7, 2);
    EXPECT_EQ(0, std::memcmp(&before, &g, sizeof g));
    Corpse* c = find_corpse_at(g, 4, 1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->glyph, '%');
    EXPECT_EQ(c->hp, -4);
}

TEST(GameRecord, CountsFromADamagedRecordAreHeldToTheirArrays)
{
    static Game g {};
    g.monster_count = 1000;
    g.corpse_count = -5;
    g.other_count = 7;
    EXPECT_EQ(monster_limit(g), MAX_MONSTERS);
    EXPECT_EQ(corpse_limit(g), 0);
    EXPECT_EQ(others_limit(g), MAX_OTHERS);
    EXPECT_FALSE(monster_at(g, 0, 0));
    EXPECT_EQ(player_by_number(g, 4), nullptr);
    EXPECT_EQ(player_by_number(g, -1), nullptr);
    EXPECT_EQ(player_by_number(g, 3), &g.others[2]);
    EXPECT_EQ(cell_blocked(g, -1, 0), 1);
}

TEST(GameRecord, TotalsAddEquippedItems)
{
    Player p {};
    p.attack = 4;
    p.defense = 1;
    EXPECT_EQ(total_attack(p), 4);
    p.inventory[0] = create_item(ITEM_SWORD);
    p.inventory[1] = create_item(ITEM_HEAVY_ARMOR);
    p.weapon = p.inventory[0];
    p.armor = p.inventory[1];
    EXPECT_EQ(total_attack(p), 9);
    EXPECT_EQ(total_defense(p), 6);
    free_inventory(p);
    EXPECT_EQ(p.weapon, nullptr);
}

TEST(GameRecord, MessagesAreCutToTheField)
{
    Player p {};
    std::string longer(400, 'x');
    set_message(p, "%s", longer.c_str());
    EXPECT_EQ(std::strlen(p.message), 255u);
}

TEST(Items, FreeInventoryReleasesLoadedEquipmentOnce)
{
    // After a load weapon and armor are blocks of their own; ASan checks the rest.
    Player p {};
    p.inventory[2] = create_item(ITEM_ARROWS);
    p.weapon = create_item(ITEM_BOW);
    p.armor = create_item(ITEM_LEATHER_ARMOR);
    free_inventory(p);
    for (Item* slot : p.inventory)
        EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(p.armor, nullptr);
}

TEST(Items, GapsInTheCatalogueMakeNothing)
{
    for (int kind : { -1, 7, 8, 11, 16, 1000 })
        EXPECT_EQ(create_item(kind), nullptr) << kind;
    Item* arrows = create_item(ITEM_ARROWS);
    ASSERT_NE(arrows, nullptr);
    EXPECT_STREQ(arrows->name, "Arrows");
    EXPECT_EQ(arrows->quantity, 200);
    EXPECT_EQ(arrows->x, -1);
    destroy_item(arrows);
}

}  // namespace
