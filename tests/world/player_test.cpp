#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include "support/test_support.hpp"
#include "world/character.hpp"
#include "world/dungeon.hpp"
#include "world/inventory.hpp"
#include "world_fixtures.hpp"

namespace {
constexpr const char* FULL = "\x1b[31mInventory is full!\x1b[0m";
constexpr const char* CANCELED = "\x1b[33mPurchase canceled.\x1b[0m";

void fill_inventory(Player& p, int kind)
{
    for (Item*& slot : p.inventory)
        slot = slot ? slot : create_item(kind);
}

class Dialogue : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::srand(2);
        generate_level(*g);
        p.x = g->stores[0].x, p.y = g->stores[0].y;
        before = *g;
    }
    std::string talk(bool shop, std::string_view answer, int number, bool end)
    {
        test::write_text(sp.peer, answer);
        if (end)
            ::shutdown(sp.peer, SHUT_WR);
        {
            world_test::ScopedServerOutput out(sp.ours, shop ? 300 : 2000);
            shop ? open_shop(*g, p) : create_character(*g, sp.ours, number);
        }
        return test::read_available(sp.peer, 30, 500);
    }
    std::string choose(std::string_view a, int n = 0, bool end = false) { return talk(false, a, n, end); }
    std::string shop(std::string_view a, bool end = false) { return talk(true, a, 0, end); }
    bool unchanged(bool but_message = false)
    {
        if (but_message)
            copy_text(p.message, before.player.message);
        return std::memcmp(&before, g.get(), sizeof before) == 0;
    }
    test::SocketPair sp;
    world_test::GamePtr g = world_test::new_game();
    Player& p = g->player;
    Game before {};
};

TEST_F(Dialogue, ClassChoiceKitsWrongKeysEndOfInputAndBadPlayerNumbers)
{
    std::string shown = choose("2 is the wizard\nnext line");
    EXPECT_EQ(shown.rfind("\x1b[H\x1b[J\x1b[94mChoose your class:\x1b[0m\n1. \x1b[92mFighter", 0), 0u);
    EXPECT_EQ(p.player_class * 1000 + p.max_mana + p.spell_count, CLASS_WIZARD * 1000 + 154);
    EXPECT_STREQ(p.message, "You have chosen the Wizard class.");
    EXPECT_EQ(test::read_available(sp.ours, 30, 300), "next line");
    Player& r = g->others[0];
    g->other_count = 1;
    choose("3\r\n", 1);
    const char* names[] = { "Slingshot", "Stones", "Leather Armor", "Bow", "Arrows", "Canoe" };
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(r.inventory[i]->name, names[i]);
    EXPECT_TRUE(r.weapon == r.inventory[0] && r.armor == r.inventory[2]) << "not the bow";
    before = *g;
    for (std::string_view answer : { "x\n", "0\n", "5\n", "\x1b\n", " 1\n" }) {  // all refused
        choose(answer);
        EXPECT_TRUE(unchanged()) << answer;
    }
    EXPECT_EQ(choose("1\n", 4) + choose("", -1), "") << "nothing shown to a missing player";
    choose("", 0, true);  // the pending "1\n" is read here
    EXPECT_EQ(p.player_class, CLASS_FIGHTER);
    before = *g;
    choose("", 0, true);  // end of input before any byte
    EXPECT_TRUE(unchanged());
}

TEST_F(Dialogue, ClosedSilentOrJunkStreamingPeersEndTheClassDialogueInTime)
{
    sp.close_peer();
    auto start = std::chrono::steady_clock::now();
    auto attempt = [&](int fd, int wait_ms) {
        world_test::ScopedServerOutput out(fd, wait_ms);
        create_character(*g, fd, 0);
        EXPECT_TRUE(unchanged()) << wait_ms;
    };
    attempt(sp.ours, -1);  // even an unbounded wait must not hang on a closed peer
    test::SocketPair quiet, noisy;
    attempt(quiet.ours, 100);
    std::atomic<bool> stop { false };
    std::thread sender([&] {
        std::string junk(512, 'j');
        while (!stop)
            if (::send(noisy.peer, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    attempt(noisy.ours, 300);
    stop = true;
    sender.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(Dialogue, ShopSellsForThePriceAndRefusalsSilentGoneOrAwayChangeNothingButTheMessage)
{
    const Item& good = g->stores[0].stock[1];
    p.gold = good.value;
    std::string shown = shop("2\n");
    EXPECT_EQ(shown.rfind("\x1b[29;1H\x1b[94m--- STORE ITEMS ---"
                          "\x1b[30;1H\x1b[37m1: Health Potion (25 Gold)\x1b[0m", 0), 0u);
    EXPECT_NE(shown.find("\x1b[33;1H\x1b[96mEnter item number to buy (1-3), or 0 to cancel: "),
              std::string::npos);
    EXPECT_EQ(p.gold * 10 + g->turn, 1);
    EXPECT_TRUE(p.inventory[0]->kind == good.kind && p.inventory[0]->value == good.value);
    EXPECT_EQ(p.message, "\x1b[92mYou bought a " + std::string(good.name) + " for " +
                             std::to_string(good.value) + " gold.\x1b[0m");
    p.gold = 24;
    before = *g;
    shop("1\n");
    EXPECT_STREQ(p.message, "\x1b[31mNot enough gold for Health Potion.\x1b[0m");
    EXPECT_TRUE(unchanged(true));
    for (std::string_view key : { "0\n", "4\n", "\x1b\n", " \n", "\xff\n" }) {
        shop(key);
        EXPECT_STREQ(p.message, CANCELED) << key;
        EXPECT_TRUE(unchanged(true));
    }
    p.x = before.player.x += p.x < 30 ? 1 : -1;
    EXPECT_EQ(shop("1\n"), "") << "nothing is drawn away from the shop";
    EXPECT_STREQ(p.message, "\x1b[33mYou are not at a store.\x1b[0m");
    EXPECT_TRUE(unchanged(true));
    p.x = g->stores[0].x;
    test::read_available(sp.ours, 10, 100);  // drop the unread answer
    fill_inventory(p, ITEM_CANOE);
    p.gold = 1000;
    shop("1\n");
    EXPECT_STREQ(p.message, FULL);
    EXPECT_EQ(p.gold * 10 + g->turn, 10001);
    before = *g;
    shop("");        // silent client: the wait gives up
    shop("", true);  // client gone
    EXPECT_TRUE(unchanged(true));
}

TEST_F(Dialogue, AShopAnswerIsCheckedAgainstTheShopAsItIsNow)
{
    ShopOffer offer;
    p.gold = 1000;
    {
        world_test::ScopedServerOutput out(sp.ours);
        ASSERT_TRUE(offer_shop(*g, p, offer));
    }
    before = *g;
    auto refused = [&](auto change, const char* message) {
        change();
        answer_shop(*g, p, offer, '1');
        EXPECT_STREQ(p.message, message);
        EXPECT_EQ(p.inventory[0], nullptr);
        *g = before;
    };
    refused([&] { g->stores[0].stock[0].value -= 1; }, CANCELED);  // not the goods offered
    refused([&] { g->stores[0].stock_count = 0; }, CANCELED);
    refused([&] { g->stores[0].x ^= 1, p.x ^= 1; }, "\x1b[33mYou are not at a store.\x1b[0m");  // another shop
    refused([&] { p.alive = 0, copy_text(p.message, "dead"); }, "dead");
    answer_shop(*g, p, offer, '1');
    EXPECT_NE(p.inventory[0], nullptr);
}

// Regression: a loaded price of INT_MIN overflowed the gold on purchase.
TEST_F(Dialogue, ShopPricesAtTheInt32LimitsSaturateTheGold)
{
    g->stores[0].stock[0].value = INT_MIN, g->stores[0].stock[1].value = INT_MAX;
    p.gold = 5, g->turn = INT_MAX;
    shop("1\n");  // a negative price pays
    EXPECT_EQ(std::pair(p.gold, g->turn), std::pair(INT_MAX, INT_MAX));
    shop("2\n");
    EXPECT_EQ(p.gold, 0);
}

class Carrying : public ::testing::Test {
protected:
    void SetUp() override { p.alive = 1, p.x = 10, p.y = 5, p.hp = 100, p.max_hp = 150; }
    Item& put_on_floor(int kind, int quantity)  // as level generation writes it
    {
        Item* made = create_item(kind);
        Item& floor = g->floor_items[g->floor_item_count++] = *made;
        destroy_item(made);
        floor.quantity = quantity, floor.x = p.x, floor.y = p.y;
        return floor;
    }
    world_test::GamePtr g = world_test::new_game();
    Player& p = g->player;
};

TEST_F(Carrying, PickUpTakesLowerIndexFirstStacksAmmunitionEvenWhenFullAndSaturates)
{
    put_on_floor(ITEM_HEALTH_POTION, 1);
    put_on_floor(ITEM_HEALTH_POTION, 1).value = 7;
    pick_up_item(*g, p);
    EXPECT_STREQ(p.message, "\x1b[92mYou pick up a Health Potion.\x1b[0m");
    EXPECT_EQ(g->floor_items[0].x + g->floor_items[0].y, -2);
    pick_up_item(*g, p);
    ASSERT_NE(p.inventory[1], nullptr) << "potions do not stack";
    EXPECT_EQ(p.inventory[1]->value, 7) << "the floor roll's value is carried along";
    EXPECT_EQ(g->turn, 2);

    fill_inventory(p, ITEM_FOOD);
    const int stackable[] = { ITEM_ARROWS, ITEM_STONES, ITEM_GOLD_COIN };  // each kind onto its own stack
    for (int i = 0; i < 3; ++i)
        destroy_item(p.inventory[5 + i]), p.inventory[5 + i] = create_item(stackable[i]);
    for (int i = 2; i >= 0; --i)
        put_on_floor(stackable[i], 3 + i), pick_up_item(*g, p);
    EXPECT_EQ(std::tuple(p.inventory[5]->quantity, p.inventory[6]->quantity, p.inventory[7]->quantity), std::tuple(203, 204, 6));
    Item& canoe = put_on_floor(ITEM_CANOE, 1);
    pick_up_item(*g, p);
    EXPECT_STREQ(p.message, FULL);
    EXPECT_EQ(canoe.x, 10) << "the refused item stays on the floor";
    EXPECT_EQ(g->turn, 5);
    EXPECT_FALSE(add_to_inventory(p, create_item(ITEM_SWORD)));  // released, or LSan reports it
    canoe.x = -1;
    p.inventory[5]->quantity = INT_MAX - 5;
    put_on_floor(ITEM_ARROWS, 20);
    pick_up_item(*g, p);
    EXPECT_EQ(p.inventory[5]->quantity, INT_MAX);
}

TEST_F(Carrying, EquipmentTogglesReplacesLoadedBlocksAndEachUseCostsATurn)
{
    p.attack = 5;
    p.weapon = create_item(ITEM_BOW);  // blocks of their own, as a load leaves them
    p.armor = create_item(ITEM_LEATHER_ARMOR);
    p.inventory[0] = create_item(ITEM_SWORD);
    p.inventory[1] = create_item(ITEM_STAFF);
    p.inventory[2] = create_item(ITEM_HEAVY_ARMOR);
    use_item(*g, 0, p);
    EXPECT_STREQ(p.message, "\x1b[96mYou equip the Sword.\x1b[0m");
    EXPECT_EQ(total_attack(p), 10);
    use_item(*g, 0, p);
    EXPECT_STREQ(p.message, "\x1b[33mYou unequip the Sword.\x1b[0m");
    for (int slot : { 0, 1, 2 })
        use_item(*g, slot, p);
    EXPECT_TRUE(p.weapon == p.inventory[1] && p.armor == p.inventory[2] && p.inventory[0]);
    for (int slot : { -1, 10, 3, INT_MIN })
        use_item(*g, slot, p);
    EXPECT_STREQ(p.message, "\x1b[31mInvalid inventory slot or empty.\x1b[0m");
    EXPECT_EQ(g->turn, 5);
}

TEST_F(Carrying, HealingIsCappedAndUsesUpTheStack)
{
    p.hp = 140;
    p.inventory[0] = create_item(ITEM_HEALTH_POTION);
    p.inventory[1] = create_item(ITEM_FOOD);
    p.inventory[1]->quantity = 2;
    p.inventory[2] = create_item(ITEM_SALVE);
    use_item(*g, 0, p);
    EXPECT_TRUE(p.hp == 150 && !p.inventory[0]);
    p.hp = 50;
    use_item(*g, 1, p);
    EXPECT_EQ(p.hp * 10 + p.inventory[1]->quantity, 651);
    use_item(*g, 2, p);
    EXPECT_EQ(p.hp * 10 + g->turn, 1053);
    p.hp = INT_MAX - 3, p.max_hp = INT_MAX;
    drink_health_potion(p);
    EXPECT_EQ(p.hp, INT_MAX);
}

}  // namespace
