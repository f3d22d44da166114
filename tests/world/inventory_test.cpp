#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/test_support.hpp"
#include "world/character.hpp"
#include "world/dungeon.hpp"
#include "world/inventory.hpp"
#include "world_fixtures.hpp"

namespace {
using world_test::ScopedServerOutput;

constexpr const char* FULL = "\x1b[31mInventory is full!\x1b[0m";
constexpr const char* CANCELED = "\x1b[33mPurchase canceled.\x1b[0m";

class Carrying : public ::testing::Test {
protected:
    void SetUp() override
    {
        p.alive = 1;
        p.x = 10;
        p.y = 5;
        p.hp = 100;
        p.max_hp = 150;
    }

    // A floor item as level generation writes it.
    Item& put_on_floor(int kind, int quantity)
    {
        Item* made = create_item(kind);
        Item& floor = g->floor_items[g->floor_item_count++];
        floor = *made;
        destroy_item(made);
        floor.quantity = quantity;
        floor.x = p.x;
        floor.y = p.y;
        return floor;
    }

    void fill_inventory(int kind)
    {
        for (Item*& slot : p.inventory) {
            if (!slot)
                slot = create_item(kind);
        }
    }

    world_test::GamePtr g = world_test::new_game();
    Player& p = g->player;
};

TEST_F(Carrying, PickUpTakesTheLowerIndexFirstAndCostsATurnOnlyWhenItWorks)
{
    pick_up_item(*g, p);
    EXPECT_STREQ(p.message, "\x1b[33mThere is nothing here to pick up.\x1b[0m");
    put_on_floor(ITEM_HEALTH_POTION, 1);
    put_on_floor(ITEM_GOLD_COIN, 1).value = 7;
    pick_up_item(*g, p);
    EXPECT_STREQ(p.message, "\x1b[92mYou pick up a Health Potion.\x1b[0m");
    EXPECT_EQ(g->floor_items[0].x + g->floor_items[0].y, -2);
    pick_up_item(*g, p);
    EXPECT_EQ(p.inventory[1]->kind, ITEM_GOLD_COIN);
    EXPECT_EQ(p.inventory[1]->value, 7) << "the floor roll's value is carried along";
    EXPECT_EQ(p.inventory[1]->x, -1);
    pick_up_item(*g, p);
    EXPECT_EQ(g->turn, 2);
    EXPECT_EQ(g->floor_item_count, 2);
}

TEST_F(Carrying, AmmunitionStacksEvenWhenFullButOtherKindsNeedASlot)
{
    p.inventory[0] = create_item(ITEM_HEALTH_POTION);
    put_on_floor(ITEM_HEALTH_POTION, 1);
    pick_up_item(*g, p);
    ASSERT_NE(p.inventory[1], nullptr) << "potions do not stack";
    fill_inventory(ITEM_FOOD);
    destroy_item(p.inventory[7]);
    p.inventory[7] = create_item(ITEM_ARROWS);
    put_on_floor(ITEM_ARROWS, 14);
    pick_up_item(*g, p);
    EXPECT_EQ(p.inventory[7]->quantity, 214);
    EXPECT_EQ(g->turn, 2);

    Item& canoe = put_on_floor(ITEM_CANOE, 1);
    pick_up_item(*g, p);
    EXPECT_STREQ(p.message, FULL);
    EXPECT_EQ(canoe.x, 10) << "the refused item stays on the floor";
    EXPECT_EQ(g->turn, 2);
    EXPECT_FALSE(add_to_inventory(p, create_item(ITEM_SWORD)));  // released, or LSan reports it

    // A stack from a loaded record saturates instead of overflowing.
    canoe.x = -1;
    p.inventory[7]->quantity = INT_MAX - 5;
    put_on_floor(ITEM_ARROWS, 20);
    pick_up_item(*g, p);
    EXPECT_EQ(p.inventory[7]->quantity, INT_MAX);
}

TEST_F(Carrying, EquipmentTogglesAndEachUseCostsATurn)
{
    p.attack = 5;
    p.inventory[0] = create_item(ITEM_SWORD);
    p.inventory[1] = create_item(ITEM_STAFF);
    p.inventory[2] = create_item(ITEM_HEAVY_ARMOR);
    use_item(*g, 0, p);
    EXPECT_STREQ(p.message, "\x1b[96mYou equip the Sword.\x1b[0m");
    EXPECT_EQ(total_attack(p), 10);
    use_item(*g, 0, p);
    EXPECT_STREQ(p.message, "\x1b[33mYou unequip the Sword.\x1b[0m");
    EXPECT_EQ(p.weapon, nullptr);
    use_item(*g, 0, p);
    use_item(*g, 1, p);
    use_item(*g, 2, p);
    EXPECT_EQ(p.weapon, p.inventory[1]);
    EXPECT_NE(p.inventory[0], nullptr) << "the previous weapon stays carried";
    EXPECT_EQ(total_defense(p), 5);
    EXPECT_EQ(g->turn, 5);
    for (int slot : { -1, 10, 3, INT_MIN }) {
        use_item(*g, slot, p);
        EXPECT_STREQ(p.message, "\x1b[31mInvalid inventory slot or empty.\x1b[0m");
    }
    EXPECT_EQ(g->turn, 5);
}

TEST_F(Carrying, LoadedEquipmentBlocksOfTheirOwnAreReleasedWhenReplaced)
{
    p.weapon = create_item(ITEM_BOW);
    p.armor = create_item(ITEM_HEAVY_ARMOR);
    p.inventory[0] = create_item(ITEM_SWORD);
    p.inventory[1] = create_item(ITEM_LEATHER_ARMOR);
    use_item(*g, 0, p);
    use_item(*g, 1, p);
    EXPECT_EQ(p.weapon, p.inventory[0]);
    EXPECT_EQ(p.armor, p.inventory[1]);
    // LeakSanitizer reports the two old blocks if they were dropped instead.
}

TEST_F(Carrying, HealingIsCappedAndUsesUpTheStack)
{
    p.hp = 140;
    p.inventory[0] = create_item(ITEM_HEALTH_POTION);
    use_item(*g, 0, p);
    EXPECT_EQ(p.hp, 150);
    EXPECT_EQ(p.inventory[0], nullptr);
    p.hp = 50;
    p.inventory[1] = create_item(ITEM_FOOD);
    p.inventory[1]->quantity = 2;
    use_item(*g, 1, p);
    EXPECT_EQ(p.hp, 65);
    EXPECT_EQ(p.inventory[1]->quantity, 1);
    EXPECT_STREQ(p.message, "\x1b[35mYou eat some food (Health +15).\x1b[0m");
    p.inventory[2] = create_item(ITEM_SALVE);
    use_item(*g, 2, p);
    EXPECT_EQ(p.hp, 105);
    p.inventory[3] = create_item(ITEM_CANOE);
    use_item(*g, 3, p);
    EXPECT_STREQ(p.message, "\x1b[33mThe Canoe is not an equippable or consumable item.\x1b[0m");
    EXPECT_EQ(g->turn, 4);
    p.hp = INT_MAX - 3;
    p.max_hp = INT_MAX;
    drink_health_potion(p);
    EXPECT_EQ(p.hp, INT_MAX);
}

TEST(Ownership, GeneratePickUpEquipUseAndFreeCyclesReleaseEveryBlockOnce)
{
    auto g = world_test::new_game();
    for (unsigned seed = 1; seed <= 30; ++seed) {
        std::srand(seed);
        g->level = static_cast<int>(seed);
        generate_level(*g);
        test::SocketPair sp;
        test::write_text(sp.peer, std::string(1, static_cast<char>('1' + seed % 4)) + "\n");
        {
            ScopedServerOutput out(sp.ours);
            create_character(*g, sp.ours, 0);
        }
        Player& p = g->player;
        for (int i = 0; i < g->floor_item_count; ++i) {
            p.x = g->floor_items[i].x;
            p.y = g->floor_items[i].y;
            pick_up_item(*g, p);
        }
        for (int round = 0; round < 3 * INVENTORY_SLOTS; ++round)
            use_item(*g, round % INVENTORY_SLOTS, p);
        if (seed % 3 == 0) {  // as a load leaves it: equipment in blocks of their own
            p.weapon = create_item(ITEM_BOW);
            p.armor = create_item(ITEM_LEATHER_ARMOR);
        }
    }
}

class Shop : public Carrying {
protected:
    void SetUp() override
    {
        std::srand(2);
        generate_level(*g);
        p.x = g->stores[0].x;
        p.y = g->stores[0].y;
        before = *g;
    }

    // Sends the answer, runs the dialogue, returns what it drew.
    std::string answer(std::string_view text, bool close = false)
    {
        test::write_text(sp.peer, text);
        if (close)
            sp.close_peer();
        {
            ScopedServerOutput out(sp.ours, 300);
            open_shop(*g, p);
        }
        return close ? std::string() : test::read_available(sp.peer, 30, 500);
    }

    // Refusals change nothing but the message.
    bool unchanged_but_message()
    {
        copy_text(p.message, before.player.message);
        return std::memcmp(&before, g.get(), sizeof before) == 0;
    }

    test::SocketPair sp;
    Game before {};
};

TEST_F(Shop, DrawsItsGoodsUnderTheMapAndSellsForExactlyThePrice)
{
    const Item& good = g->stores[0].stock[1];
    p.gold = good.value;
    std::string shown = answer("2\n");
    EXPECT_EQ(shown.rfind("\x1b[29;1H\x1b[94m--- STORE ITEMS ---"
                          "\x1b[30;1H\x1b[37m1: Health Potion (25 Gold)\x1b[0m",
                          0),
              0u);
    EXPECT_NE(shown.find("\x1b[33;1H\x1b[96mEnter item number to buy (1-3), or 0 to cancel: "),
              std::string::npos);
    EXPECT_EQ(p.gold, 0);
    EXPECT_EQ(p.inventory[0]->kind, good.kind);
    // A bought item carries its price as its value, whatever its kind.
    EXPECT_EQ(p.inventory[0]->value, good.value);
    EXPECT_EQ(p.inventory[0]->quantity, 1);
    EXPECT_EQ(g->turn, 1);
    EXPECT_EQ(p.message, "\x1b[92mYou bought a " + std::string(good.name) + " for " +
                             std::to_string(good.value) + " gold.\x1b[0m");
}

TEST_F(Shop, RefusalsLeaveEverythingAsItWas)
{
    p.gold = before.player.gold = 24;
    answer("1\n");
    EXPECT_STREQ(p.message, "\x1b[31mNot enough gold for Health Potion.\x1b[0m");
    EXPECT_TRUE(unchanged_but_message());
    for (std::string_view key : { "0\n", "4\n", "\x1b\n", " \n", "\xff\n" }) {
        answer(key);
        EXPECT_STREQ(p.message, CANCELED) << key;
        EXPECT_TRUE(unchanged_but_message());
    }
    fill_inventory(ITEM_CANOE);
    p.gold = 500;
    answer("1\n");
    EXPECT_STREQ(p.message, FULL);
    EXPECT_EQ(p.gold, 500);
    EXPECT_EQ(g->turn, 0);
}

TEST_F(Shop, AwayFromTheShopOrGoneClientEndsWithoutAPurchase)
{
    p.gold = before.player.gold = 100;
    p.x = before.player.x = p.x + (p.x < 30 ? 1 : -1);
    EXPECT_EQ(answer("1\n"), "") << "nothing is drawn away from the shop";
    EXPECT_STREQ(p.message, "\x1b[33mYou are not at a store.\x1b[0m");
    EXPECT_TRUE(unchanged_but_message());
    p.x = before.player.x = g->stores[0].x;
    test::read_available(sp.ours, 10, 100);  // drop the unread answer
    answer("");                               // silent client: the wait gives up
    answer("", true);                         // client gone
    EXPECT_TRUE(std::memcmp(&before, g.get(), sizeof before) == 0);
}

TEST_F(Shop, DamagedStockCountOffersOnlyTheRealGoods)
{
    g->stores[0].stock_count = 99;
    p.gold = 1000;
    std::string shown = answer("5\n");
    EXPECT_NE(shown.find("(1-3)"), std::string::npos);
    EXPECT_EQ(shown.find("4: "), std::string::npos);
    EXPECT_STREQ(p.message, CANCELED);
    g->stores[0].stock_count = -4;
    answer("1\n");
    EXPECT_STREQ(p.message, CANCELED);
}

}  // namespace
