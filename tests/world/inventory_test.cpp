#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/test_support.hpp"
#include "world/character.hpp"
#include "world/dungeon.hpp"
#include "world/inventory.hpp"
#include "world/items.hpp"
#include "world_fixtures.hpp"

namespace {
using world_test::new_game;
using world_test::ScopedServerOutput;

constexpr const char* FULL = "\x1b[31mInventory is full!\x1b[0m";
constexpr const char* BAD_SLOT = "\x1b[31mInvalid inventory slot or empty.\x1b[0m";

class Carrying : public ::testing::Test {
protected:
    void SetUp() override
    {
        world_test::make_open_field(*g);
        p.alive = 1;
        p.x = 10;
        p.y = 5;
        p.hp = 100;
        p.max_hp = 150;
    }

    // A floor item as level generation writes it.
    Item& put_on_floor(int kind, int quantity, int x, int y)
    {
        Item* made = create_item(kind);
        Item& floor = g->floor_items[g->floor_item_count++];
        floor = *made;
        destroy_item(made);
        floor.quantity = quantity;
        floor.x = x;
        floor.y = y;
        return floor;
    }

    void fill_inventory(int kind)
    {
        for (Item*& slot : p.inventory) {
            if (!slot)
                slot = create_item(kind);
        }
    }

    int used_slots() const
    {
        int n = 0;
        for (const Item* slot : p.inventory)
            n += slot != nullptr;
        return n;
    }

    world_test::GamePtr g = new_game();
    Player& p = g->player;
};

TEST_F(Carrying, NothingUnderfootIsARefusalWithoutATurn)
{
    put_on_floor(ITEM_CANOE, 1, 11, 5);
    pick_up_item(*g, p);
    EXPECT_STREQ(p.message, "\x1b[33mThere is nothing here to pick up.\x1b[0m");
    EXPECT_EQ(g->turn, 0);
    EXPECT_EQ(used_slots(), 0);
}

TEST_F(Carrying, TwoItemsOnOneSquareComeUpLowerIndexFirst)
{
    put_on_floor(ITEM_HEALTH_POTION, 1, 10, 5);
    Item& coin = put_on_floor(ITEM_GOLD_COIN, 1, 10, 5);
    coin.value = 7;
    pick_up_item(*g, p);
    EXPECT_STREQ(p.message, "\x1b[92mYou pick up a Health Potion.\x1b[0m");
    EXPECT_EQ(g->floor_items[0].x, -1);
    EXPECT_EQ(g->floor_items[0].y, -1);
    EXPECT_EQ(coin.x, 10);
    pick_up_item(*g, p);
    ASSERT_NE(p.inventory[1], nullptr);
    EXPECT_EQ(p.inventory[1]->kind, ITEM_GOLD_COIN);
    EXPECT_EQ(p.inventory[1]->value, 7) << "the floor roll's value is carried along";
    EXPECT_EQ(p.inventory[1]->x, -1);
    EXPECT_EQ(g->turn, 2);
    EXPECT_EQ(g->floor_item_count, 2);
    pick_up_item(*g, p);
    EXPECT_EQ(g->turn, 2);
}

TEST_F(Carrying, AmmunitionStacksButPotionsDoNot)
{
    p.inventory[4] = create_item(ITEM_ARROWS);
    put_on_floor(ITEM_ARROWS, 14, 10, 5);
    pick_up_item(*g, p);
    EXPECT_EQ(p.inventory[4]->quantity, 214);
    EXPECT_EQ(used_slots(), 1);

    p.inventory[0] = create_item(ITEM_HEALTH_POTION);
    put_on_floor(ITEM_HEALTH_POTION, 1, 10, 5);
    pick_up_item(*g, p);
    EXPECT_EQ(used_slots(), 3);
    ASSERT_NE(p.inventory[1], nullptr);
    EXPECT_EQ(p.inventory[0]->quantity, 1);
}

TEST_F(Carrying, StackFromALoadedRecordSaturatesInsteadOfOverflowing)
{
    p.inventory[0] = create_item(ITEM_STONES);
    p.inventory[0]->quantity = INT_MAX - 5;
    put_on_floor(ITEM_STONES, 20, 10, 5);
    pick_up_item(*g, p);
    EXPECT_EQ(p.inventory[0]->quantity, INT_MAX);
}

TEST_F(Carrying, FullInventoryStillTakesAStackableButRefusesTheRest)
{
    fill_inventory(ITEM_HEALTH_POTION);
    destroy_item(p.inventory[7]);
    p.inventory[7] = create_item(ITEM_ARROWS);
    put_on_floor(ITEM_ARROWS, 14, 10, 5);
    pick_up_item(*g, p);
    EXPECT_EQ(p.inventory[7]->quantity, 214);
    EXPECT_EQ(g->turn, 1);

    Item& canoe = put_on_floor(ITEM_CANOE, 1, 10, 5);
    pick_up_item(*g, p);
    EXPECT_STREQ(p.message, FULL);
    EXPECT_EQ(canoe.x, 10) << "the refused item stays on the floor";
    EXPECT_EQ(g->turn, 1);
    EXPECT_EQ(find_inventory_item(p, ITEM_CANOE), nullptr);
}

TEST_F(Carrying, AddingToAFullInventoryReleasesTheItem)
{
    fill_inventory(ITEM_FOOD);
    EXPECT_FALSE(add_to_inventory(p, create_item(ITEM_SWORD)));  // ASan: no leak
    EXPECT_FALSE(add_to_inventory(p, nullptr));
    destroy_item(p.inventory[3]);
    p.inventory[3] = nullptr;
    Item* sword = create_item(ITEM_SWORD);
    EXPECT_TRUE(add_to_inventory(p, sword));
    EXPECT_EQ(p.inventory[3], sword);
    EXPECT_EQ(find_inventory_item(p, ITEM_SWORD), sword);
    EXPECT_EQ(find_inventory_item(p, ITEM_FOOD), p.inventory[0]);
}

TEST_F(Carrying, BadSlotsAreRefusedWithoutATurn)
{
    p.inventory[2] = create_item(ITEM_SWORD);
    for (int slot : { -1, 10, 1, INT_MIN, INT_MAX }) {
        SCOPED_TRACE(slot);
        use_item(*g, slot, p);
        EXPECT_STREQ(p.message, BAD_SLOT);
    }
    EXPECT_EQ(g->turn, 0);
}

TEST_F(Carrying, UsingAWeaponTogglesItAndEachUseCostsATurn)
{
    p.attack = 5;
    p.inventory[0] = create_item(ITEM_SWORD);
    p.inventory[1] = create_item(ITEM_STAFF);
    use_item(*g, 0, p);
    EXPECT_EQ(p.weapon, p.inventory[0]);
    EXPECT_STREQ(p.message, "\x1b[96mYou equip the Sword.\x1b[0m");
    EXPECT_EQ(total_attack(p), 10);
    use_item(*g, 0, p);
    EXPECT_EQ(p.weapon, nullptr);
    EXPECT_STREQ(p.message, "\x1b[33mYou unequip the Sword.\x1b[0m");
    use_item(*g, 0, p);
    EXPECT_EQ(p.weapon, p.inventory[0]);
    use_item(*g, 1, p);
    EXPECT_EQ(p.weapon, p.inventory[1]);
    EXPECT_NE(p.inventory[0], nullptr) << "the previous weapon stays carried";
    EXPECT_EQ(g->turn, 4);
}

TEST_F(Carrying, ArmourTogglesSeparatelyFromTheWeapon)
{
    p.inventory[0] = create_item(ITEM_SLINGSHOT);
    p.inventory[1] = create_item(ITEM_LEATHER_ARMOR);
    p.inventory[2] = create_item(ITEM_HEAVY_ARMOR);
    use_item(*g, 0, p);
    use_item(*g, 1, p);
    use_item(*g, 2, p);
    EXPECT_EQ(p.weapon, p.inventory[0]);
    EXPECT_EQ(p.armor, p.inventory[2]);
    EXPECT_EQ(total_defense(p), 5);
    use_item(*g, 2, p);
    EXPECT_EQ(p.armor, nullptr);
    EXPECT_EQ(p.weapon, p.inventory[0]);
}

TEST_F(Carrying, LoadedWeaponBlockOfItsOwnIsReleasedWhenReplaced)
{
    // As a load leaves it: equipment blocks that no slot shares.
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
    EXPECT_STREQ(p.message, "\x1b[92mYou drink a health potion and feel better (Health +30).\x1b[0m");

    p.hp = 50;
    p.inventory[1] = create_item(ITEM_FOOD);
    p.inventory[1]->quantity = 2;
    use_item(*g, 1, p);
    EXPECT_EQ(p.hp, 65);
    ASSERT_NE(p.inventory[1], nullptr);
    EXPECT_EQ(p.inventory[1]->quantity, 1);
    EXPECT_STREQ(p.message, "\x1b[35mYou eat some food (Health +15).\x1b[0m");

    p.inventory[2] = create_item(ITEM_SALVE);
    use_item(*g, 2, p);
    EXPECT_EQ(p.hp, 105);
    EXPECT_STREQ(p.message,
                 "\x1b[94mYou apply a salve and feel greatly restored (Health +40).\x1b[0m");
    EXPECT_EQ(g->turn, 3);

    p.hp = INT_MAX - 3;
    p.max_hp = INT_MAX;
    drink_health_potion(p);
    EXPECT_EQ(p.hp, INT_MAX);
}

TEST_F(Carrying, ItemsWithoutAUseSayPlainlyAndStillCostATurn)
{
    p.inventory[0] = create_item(ITEM_CANOE);
    p.inventory[1] = create_item(ITEM_ARROWS);
    use_item(*g, 0, p);
    EXPECT_STREQ(p.message,
                 "\x1b[33mThe Canoe is not an equippable or consumable item.\x1b[0m");
    use_item(*g, 1, p);
    EXPECT_EQ(p.inventory[1]->quantity, 200);
    EXPECT_EQ(g->turn, 2);
}

TEST(Ownership, GeneratePickUpEquipUseAndFreeCyclesReleaseEveryBlockOnce)
{
    auto g = world_test::new_game();
    for (unsigned seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
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
        ASSERT_NE(p.weapon, nullptr);
        for (int i = 0; i < g->floor_item_count; ++i) {
            p.x = g->floor_items[i].x;
            p.y = g->floor_items[i].y;
            pick_up_item(*g, p);
        }
        for (int round = 0; round < 3; ++round) {
            for (int slot = 0; slot < INVENTORY_SLOTS; ++slot)
                use_item(*g, slot, p);
        }
        if (seed % 3 == 0) {
            // Leave the record as a load would: equipment in blocks of their own.
            p.weapon = create_item(ITEM_BOW);
            p.armor = create_item(ITEM_LEATHER_ARMOR);
        }
    }
}

class Shop : public Carrying {
protected:
    void SetUp() override
    {
        Carrying::SetUp();
        std::srand(2);
        g->level = 1;
        generate_level(*g);
        g->player.hp = 100;
        g->player.max_hp = 150;
        Store& s = g->stores[0];
        p.x = s.x;
        p.y = s.y;
    }

    // Sends the answer, runs the dialogue, returns what it drew.
    std::string answer(std::string_view text, bool close = false)
    {
        test::write_text(sp.peer, text);
        if (close)
            sp.close_peer();
        {
            ScopedServerOutput out(sp.ours, 500);
            open_shop(*g, p);
        }
        return close ? std::string() : test::read_available(sp.peer, 50, 1000);
    }

    bool unchanged() const { return std::memcmp(&before, g.get(), sizeof before) == 0; }

    test::SocketPair sp;
    Game before {};
};

TEST_F(Shop, DrawsItsGoodsUnderTheMapAndSellsForExactlyThePrice)
{
    const Store& s = g->stores[0];
    int price = s.stock[1].value;
    p.gold = price;
    std::string shown = answer("2\n");
    EXPECT_NE(shown.find("\x1b[29;1H\x1b[94m--- STORE ITEMS ---"), std::string::npos);
    EXPECT_NE(shown.find("\x1b[30;1H\x1b[37m1: Health Potion (25 Gold)\x1b[0m"), std::string::npos);
    EXPECT_NE(shown.find("\x1b[33;1H\x1b[96mEnter item number to buy (1-3), or 0 to cancel: "),
              std::string::npos);
    EXPECT_EQ(p.gold, 0);
    ASSERT_NE(p.inventory[0], nullptr);
    EXPECT_EQ(p.inventory[0]->kind, s.stock[1].kind);
    // A bought item carries its price as its value, whatever its kind.
    EXPECT_EQ(p.inventory[0]->value, price);
    EXPECT_EQ(p.inventory[0]->quantity, 1);
    EXPECT_EQ(g->turn, 1);
    std::string expected = "\x1b[92mYou bought a " + std::string(s.stock[1].name) + " for " +
                           std::to_string(price) + " gold.\x1b[0m";
    EXPECT_EQ(p.message, expected);
}

TEST_F(Shop, BoughtAmmunitionIsASingleShotAndNeverStacks)
{
    p.gold = 100;
    answer("3\n");
    answer("3 again\n");
    ASSERT_NE(p.inventory[1], nullptr);
    EXPECT_EQ(p.inventory[0]->quantity, 1);
    EXPECT_EQ(p.inventory[1]->quantity, 1);
    EXPECT_EQ(g->turn, 2);
}

TEST_F(Shop, RefusalsLeaveEverythingAsItWas)
{
    p.gold = 24;
    before = *g;
    answer("1\n");
    EXPECT_STREQ(p.message, "\x1b[31mNot enough gold for Health Potion.\x1b[0m");
    copy_text(p.message, before.player.message);
    EXPECT_TRUE(unchanged());

    for (std::string_view key : { "0\n", "4\n", "9\n", "\x1b\n", " \n", "\xff\n" }) {
        SCOPED_TRACE(key);
        answer(key);
        EXPECT_STREQ(p.message, "\x1b[33mPurchase canceled.\x1b[0m");
        copy_text(p.message, before.player.message);
        EXPECT_TRUE(unchanged());
    }
}

TEST_F(Shop, FullInventoryKeepsTheGold)
{
    fill_inventory(ITEM_CANOE);
    p.gold = 500;
    answer("1\n");
    EXPECT_STREQ(p.message, FULL);
    EXPECT_EQ(p.gold, 500);
    EXPECT_EQ(g->turn, 0);
}

TEST_F(Shop, AwayFromTheShopNothingIsDrawn)
{
    p.x += p.x < 30 ? 1 : -1;
    std::string shown = answer("1\n");
    EXPECT_STREQ(p.message, "\x1b[33mYou are not at a store.\x1b[0m");
    EXPECT_EQ(shown, "");
    g->store_count = 0;
    p.x = g->stores[0].x;
    answer("");
    EXPECT_STREQ(p.message, "\x1b[33mYou are not at a store.\x1b[0m");
}

TEST_F(Shop, ClientGoneOrSilentEndsTheDialogueWithoutAMessage)
{
    p.gold = 100;
    before = *g;
    answer("", true);
    EXPECT_TRUE(unchanged());
    answer("");  // nothing sent: the bounded wait gives up
    EXPECT_TRUE(unchanged());
}

TEST_F(Shop, DamagedStockCountOffersOnlyTheRealGoods)
{
    g->stores[0].stock_count = 99;
    p.gold = 1000;
    std::string shown = answer("5\n");
    EXPECT_NE(shown.find("(1-3)"), std::string::npos);
    EXPECT_EQ(shown.find("4: "), std::string::npos);
    EXPECT_STREQ(p.message, "\x1b[33mPurchase canceled.\x1b[0m");
    g->stores[0].stock_count = -4;
    shown = answer("1\n");
    EXPECT_NE(shown.find("(1-0)"), std::string::npos);
    EXPECT_STREQ(p.message, "\x1b[33mPurchase canceled.\x1b[0m");
}

}  // namespace
