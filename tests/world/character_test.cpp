#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>

#include "support/test_support.hpp"
#include "world/character.hpp"
#include "world/dungeon.hpp"
#include "world_fixtures.hpp"

namespace {
using world_test::ScopedServerOutput;

class ClassDialogue : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::srand(7);
        generate_level(*g);
        before = *g;
    }

    // Sends the answer (and ends the client's side when asked), runs the
    // dialogue and returns everything it wrote to the client.
    std::string choose(std::string_view answer, int number = 0, bool end_after = false,
                       int wait_ms = 2000)
    {
        test::write_text(sp.peer, answer);
        if (end_after)
            ::shutdown(sp.peer, SHUT_WR);
        {
            ScopedServerOutput out(sp.ours, wait_ms);
            create_character(*g, sp.ours, number);
        }
        return test::read_available(sp.peer, 30, 500);
    }

    bool unchanged() const { return std::memcmp(&before, g.get(), sizeof before) == 0; }

    test::SocketPair sp;
    world_test::GamePtr g = world_test::new_game();
    Game before {};
};

TEST_F(ClassDialogue, ChoiceWithTrailingTextClearsTheScreenAndConsumesOnlyThatLine)
{
    std::string shown = choose("2 is the wizard\nnext line");
    EXPECT_EQ(shown.rfind("\x1b[H\x1b[J\x1b[94mChoose your class:\x1b[0m\n1. \x1b[92mFighter", 0), 0u);
    EXPECT_NE(shown.find("4. \x1b[91mNecromancer\x1b[0m - A dark mage who raises and controls the "
                         "undead.\n"),
              std::string::npos);
    const Player& p = g->player;
    EXPECT_EQ(p.player_class, CLASS_WIZARD);
    EXPECT_EQ(p.hp + p.max_hp, 160);
    EXPECT_EQ(p.mana + p.max_mana, 300);
    EXPECT_EQ(total_attack(p), 4);
    EXPECT_EQ(total_defense(p), 2);
    ASSERT_EQ(p.spell_count, 4);
    EXPECT_STREQ(p.spells[0].name, "Fireball");
    EXPECT_EQ(p.spells[2].id, SPELL_INVISIBILITY);
    EXPECT_EQ(p.spells[3].mana_cost, 40);
    EXPECT_EQ(p.inventory[3]->quantity, 200);
    EXPECT_STREQ(p.message, "You have chosen the Wizard class.");
    EXPECT_EQ(test::read_available(sp.ours, 30, 300), "next line");
}

TEST_F(ClassDialogue, FighterRogueAndNecromancerGetTheirKitsInOrder)
{
    choose("1\n");
    EXPECT_EQ(g->player.defense, 3);
    EXPECT_EQ(g->player.weapon, g->player.inventory[0]);
    EXPECT_EQ(g->player.armor->kind, ITEM_HEAVY_ARMOR);

    g->other_count = 2;
    Player& p = g->others[0];
    copy_text(p.spells[0].name, "left over");
    p.flying_turns = 12;
    p.invisible_turns = 9;
    choose("3\r\n", 1);
    const char* names[] = { "Slingshot", "Stones", "Leather Armor", "Bow", "Arrows", "Canoe" };
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(p.inventory[i]->name, names[i]);
    EXPECT_EQ(p.weapon, p.inventory[0]) << "the slingshot, not the bow";
    EXPECT_EQ(p.armor, p.inventory[2]);
    EXPECT_EQ(p.spell_count, 1);
    EXPECT_STREQ(p.spells[0].name, "left over");
    EXPECT_EQ(p.flying_turns, 12) << "a rogue keeps its flight";
    EXPECT_EQ(p.invisible_turns, 0);
    EXPECT_EQ(g->player.player_class, CLASS_FIGHTER);

    choose("4\n", 2);
    EXPECT_EQ(g->others[1].hp, 110);
    EXPECT_EQ(g->others[1].spell_count, 2);
    EXPECT_STREQ(g->others[1].spells[1].name, "Possess Enemy");
}

TEST_F(ClassDialogue, WrongKeysEndOfInputAndBadPlayerNumbersLeaveTheRecordAlone)
{
    for (std::string_view answer : { "x\n", "0\n", "5\n", "\x1b\n", " 1\n" }) {
        choose(answer);
        EXPECT_TRUE(unchanged()) << answer;
    }
    std::string shown = choose("1\n", 4);
    shown += choose("", -1);
    EXPECT_EQ(shown, "") << "nothing is shown for a player that does not exist";
    choose("", 0, true);  // the pending "1\n" of the bad numbers is read here
    EXPECT_EQ(g->player.player_class, CLASS_FIGHTER);
    before = *g;
    choose("", 0, true);  // now end of input before any byte
    EXPECT_TRUE(unchanged());
}

TEST_F(ClassDialogue, ClosedSilentOrJunkStreamingPeersEndTheDialogueInTime)
{
    sp.close_peer();
    auto start = std::chrono::steady_clock::now();
    {
        ScopedServerOutput out(sp.ours, -1);  // even an unbounded wait must not hang
        create_character(*g, sp.ours, 0);
    }
    EXPECT_TRUE(unchanged());

    test::SocketPair quiet;
    {
        ScopedServerOutput out(quiet.ours, 100);
        create_character(*g, quiet.ours, 0);
    }
    EXPECT_TRUE(unchanged());

    test::SocketPair noisy;
    std::atomic<bool> stop { false };
    std::thread sender([&] {
        std::string junk(512, 'j');
        while (!stop) {
            if (::send(noisy.peer, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    {
        ScopedServerOutput out(noisy.ours, 300);
        create_character(*g, noisy.ours, 0);
    }
    stop = true;
    sender.join();
    EXPECT_TRUE(unchanged());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(ClassDialogue, KitItemThatFindsNoSlotIsReleasedAndNotEquipped)
{
    for (int i = 0; i < INVENTORY_SLOTS - 1; ++i)
        g->player.inventory[i] = create_item(ITEM_HEALTH_POTION);
    choose("1\n");
    EXPECT_EQ(g->player.inventory[9]->kind, ITEM_SWORD);
    EXPECT_EQ(g->player.weapon, g->player.inventory[9]);
    EXPECT_EQ(g->player.armor, nullptr);
}

}  // namespace
