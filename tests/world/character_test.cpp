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
using world_test::new_game;
using world_test::ScopedServerOutput;

class ClassDialogue : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GE(sp.ours, 0);
        std::srand(7);
        generate_level(*g);
    }

    // Runs the dialogue for the player number with the answer already sent;
    // returns everything the dialogue wrote to the client.
    std::string choose(std::string_view answer, int number = 0, bool close_after = false)
    {
        test::write_text(sp.peer, answer);
        if (close_after)
            sp.shutdown_peer_writes();
        {
            ScopedServerOutput out(sp.ours);
            create_character(*g, sp.ours, number);
        }
        return test::read_available(sp.peer, 50, 1000);
    }

    bool unchanged() const { return std::memcmp(&before, g.get(), sizeof before) == 0; }
    void remember() { before = *g; }

    struct Pair : test::SocketPair {
        // Ends what the client sends while it still reads our side.
        void shutdown_peer_writes() const { ::shutdown(peer, SHUT_WR); }
    } sp;
    world_test::GamePtr g = new_game();
    Game before {};
};

TEST_F(ClassDialogue, FighterGetsTheClassNumbersAndAnEquippedKit)
{
    std::string shown = choose("1\n");
    EXPECT_EQ(shown.rfind("\x1b[H\x1b[J", 0), 0u) << "the screen is cleared first";
    EXPECT_NE(shown.find("\x1b[94mChoose your class:\x1b[0m\n1. \x1b[92mFighter\x1b[0m - A durable"),
              std::string::npos);
    EXPECT_NE(shown.find("4. \x1b[91mNecromancer\x1b[0m - A dark mage who raises and controls the "
                         "undead.\n"),
              std::string::npos);
    const Player& p = g->player;
    EXPECT_EQ(p.hp, 150);
    EXPECT_EQ(p.max_hp, 150);
    EXPECT_EQ(p.mana, 50);
    EXPECT_EQ(p.max_mana, 50);
    EXPECT_EQ(p.attack, 5);
    EXPECT_EQ(p.defense, 3);
    EXPECT_EQ(p.player_class, CLASS_FIGHTER);
    EXPECT_EQ(p.spell_count, 0);
    ASSERT_NE(p.inventory[0], nullptr);
    ASSERT_NE(p.inventory[1], nullptr);
    EXPECT_EQ(p.inventory[2], nullptr);
    EXPECT_STREQ(p.inventory[0]->name, "Sword");
    EXPECT_STREQ(p.inventory[1]->name, "Heavy Armor");
    EXPECT_EQ(p.weapon, p.inventory[0]);
    EXPECT_EQ(p.armor, p.inventory[1]);
    EXPECT_STREQ(p.message, "You have chosen the Fighter class.");
}

TEST_F(ClassDialogue, TrailingTextOfTheLineIsConsumedAndNoMore)
{
    choose("2 is the wizard\nnext line");
    const Player& p = g->player;
    EXPECT_EQ(p.player_class, CLASS_WIZARD);
    EXPECT_EQ(p.hp, 80);
    EXPECT_EQ(p.mana, 150);
    EXPECT_EQ(p.defense, 0) << "the wizard keeps the defense generation left";
    EXPECT_EQ(total_attack(p), 4);
    EXPECT_EQ(total_defense(p), 2);
    ASSERT_EQ(p.spell_count, 4);
    EXPECT_STREQ(p.spells[0].name, "Fireball");
    EXPECT_EQ(p.spells[0].mana_cost, 20);
    EXPECT_EQ(p.spells[0].power, 25);
    EXPECT_EQ(p.spells[2].id, SPELL_INVISIBILITY);
    EXPECT_STREQ(p.spells[3].name, "Flight");
    EXPECT_STREQ(p.spells[3].color, "\x1b[97m");
    ASSERT_NE(p.inventory[3], nullptr);
    EXPECT_EQ(p.inventory[3]->kind, ITEM_STONES);
    EXPECT_EQ(p.inventory[3]->quantity, 200);
    EXPECT_EQ(p.weapon->kind, ITEM_STAFF);
    EXPECT_EQ(test::read_available(sp.ours, 50, 500), "next line");
}

TEST_F(ClassDialogue, RogueWieldsTheSlingshotAndKeepsFlightAndItsFirstSpell)
{
    copy_text(g->player.spells[0].name, "left over");
    g->player.flying_turns = 12;
    g->player.invisible_turns = 9;
    choose("3\r\n");
    const Player& p = g->player;
    EXPECT_EQ(p.player_class, CLASS_ROGUE);
    EXPECT_EQ(p.hp, 100);
    EXPECT_EQ(p.mana, 80);
    EXPECT_EQ(p.spell_count, 1);
    EXPECT_STREQ(p.spells[0].name, "left over");
    const char* names[] = { "Slingshot", "Stones", "Leather Armor", "Bow", "Arrows", "Canoe" };
    for (int i = 0; i < 6; ++i) {
        ASSERT_NE(p.inventory[i], nullptr) << i;
        EXPECT_STREQ(p.inventory[i]->name, names[i]);
    }
    EXPECT_EQ(p.weapon, p.inventory[0]);
    EXPECT_EQ(p.armor, p.inventory[2]);
    EXPECT_EQ(p.flying_turns, 12);
    EXPECT_EQ(p.invisible_turns, 0);
}

TEST_F(ClassDialogue, NecromancerForAnotherPlayerNumber)
{
    g->other_count = 2;
    g->others[1].flying_turns = 5;
    remember();
    choose("4\n", 2);
    const Player& p = g->others[1];
    EXPECT_EQ(p.player_class, CLASS_NECROMANCER);
    EXPECT_EQ(p.hp, 110);
    EXPECT_EQ(p.max_mana, 120);
    ASSERT_EQ(p.spell_count, 2);
    EXPECT_STREQ(p.spells[0].name, "Animate Dead");
    EXPECT_EQ(p.spells[1].id, SPELL_POSSESS_ENEMY);
    EXPECT_EQ(p.spells[1].mana_cost, 25);
    EXPECT_EQ(p.flying_turns, 0);
    EXPECT_STREQ(p.message, "You have chosen the Necromancer class.");
    EXPECT_EQ(0, std::memcmp(&before.player, &g->player, sizeof before.player));
}

TEST_F(ClassDialogue, WrongKeysAndMissingAnswersLeaveTheRecordAlone)
{
    for (std::string_view answer : { "x\n", "0\n", "5\n", "\x1b\n", " 1\n" }) {
        SCOPED_TRACE(answer);
        remember();
        choose(answer);
        EXPECT_TRUE(unchanged());
    }
    remember();
    choose("", 0, true);  // end of input before any byte
    EXPECT_TRUE(unchanged());
}

TEST_F(ClassDialogue, AnswerWithoutNewlineBeforeTheEndStillCounts)
{
    choose("3", 0, true);
    EXPECT_EQ(g->player.player_class, CLASS_ROGUE);
}

TEST_F(ClassDialogue, PeerThatHasClosedEndsTheDialogueAtOnce)
{
    remember();
    sp.close_peer();
    auto start = std::chrono::steady_clock::now();
    {
        ScopedServerOutput out(sp.ours, -1);  // even an unbounded wait must not hang
        create_character(*g, sp.ours, 0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(unchanged());
}

TEST_F(ClassDialogue, EndlessJunkWithoutNewlineIsCutOffByTheWait)
{
    std::atomic<bool> stop { false };
    std::thread sender([&] {
        std::string junk(512, 'j');
        while (!stop) {
            if (::send(sp.peer, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    remember();
    auto start = std::chrono::steady_clock::now();
    {
        ScopedServerOutput out(sp.ours, 300);
        create_character(*g, sp.ours, 0);
    }
    auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    sender.join();
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_TRUE(unchanged());
}

TEST_F(ClassDialogue, SilentClientIsGivenUpAfterTheWait)
{
    remember();
    {
        ScopedServerOutput out(sp.ours, 100);
        create_character(*g, sp.ours, 0);
    }
    EXPECT_TRUE(unchanged());
}

TEST_F(ClassDialogue, PlayerNumberOutsideTheFourDoesNothing)
{
    test::write_text(sp.peer, "1\n");
    remember();
    for (int number : { -1, 4, 1000 }) {
        ScopedServerOutput out(sp.ours, 100);
        create_character(*g, sp.ours, number);
    }
    EXPECT_TRUE(unchanged());
    EXPECT_EQ(test::read_available(sp.peer, 50, 300), "") << "nothing is shown either";
}

TEST_F(ClassDialogue, KitThatDoesNotFitIsReleasedAndNotEquipped)
{
    for (int i = 0; i < INVENTORY_SLOTS - 1; ++i)
        g->player.inventory[i] = create_item(ITEM_HEALTH_POTION);
    choose("1\n");
    const Player& p = g->player;
    ASSERT_NE(p.inventory[9], nullptr);
    EXPECT_EQ(p.inventory[9]->kind, ITEM_SWORD);
    EXPECT_EQ(p.weapon, p.inventory[9]);
    EXPECT_EQ(p.armor, nullptr) << "the armour found no slot";
}

}  // namespace
