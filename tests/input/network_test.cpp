// The networked dispatcher: per-player prompts, the shared ally menu, running
// and follow mode, the party descent and where it puts everybody.
#include <gtest/gtest.h>

#include <cstdlib>

#include "input/input_fixtures.hpp"
#include "input/local.hpp"
#include "input/network.hpp"
#include "support/test_support.hpp"
#include "term/term.hpp"

using namespace input_test;

namespace {

class Network : public Arena {
protected:
    void press(int player_number, std::string_view keys)
    {
        for (char k : keys)
            handle_player_key(game(), k, player_number);
    }
};

TEST_F(Network, NumbersThatNameNobodyAreIgnored)
{
    Player& one = add_other(20, 5);
    for (int number : { -1, 2, 3, 4, 200 })
        press(number, "5q6F");
    EXPECT_EQ(game().turn, 0);
    EXPECT_EQ(hero().alive + one.alive, 2);
    EXPECT_EQ(message(game().others[1]), "");
    press(1, "6q");  // the sender moves and quits, nobody else
    EXPECT_EQ(one.x, 21);
    EXPECT_EQ(one.alive, 0);
    EXPECT_EQ(hero().alive, 1);
}

TEST_F(Network, AllyMenuNeedsANecromancerOrWizardModeAndAnyoneAnswersIt)
{
    Monster& ghoul = add_monster(25, 8, true);
    press(0, "a");
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(message(hero()), "\x1b[31mOnly Necromancers can command undead allies.\x1b[0m");
    game().wizard_mode = 1;
    press(0, "azgt");  // the menu opens; wizard keys mean nothing here
    EXPECT_EQ(game().ally_menu, 1);
    EXPECT_EQ(game().wizard_mode + hero().gold + hero().aiming, 1);

    Player& fighter = add_other(22, 5);
    press(1, "3");
    EXPECT_EQ(game().ally_controller, 1);
    EXPECT_EQ(fighter.cursor_x, 25);
    press(0, "6");  // while an ally is steered every player's digits steer it
    EXPECT_EQ(ghoul.x, 26);
    EXPECT_EQ(hero().x, 30);
    EXPECT_EQ(hero().cursor_x, 26);
}

TEST_F(Network, AimingKeepsTheAllyMenuAndHasNoTeleport)
{
    give(hero(), ITEM_STONES, 0);
    game().wizard_mode = game().ally_menu = 1;
    press(0, "f6t");
    EXPECT_EQ(hero().aiming, 1);
    press(0, "\x1b");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(game().ally_menu, 1);
    press(0, "f6f");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(game().ally_menu, 1);
    EXPECT_EQ(hero().x, 30);
}

TEST_F(Network, CastKeyTestsSpellsNotClass)
{
    press(0, "c");
    EXPECT_EQ(message(hero()), "\x1b[31mYou know no spells.\x1b[0m");
    hero().spell_count = 1;
    press(0, "c");
    EXPECT_EQ(hero().choosing_spell, 1);
}

TEST_F(Network, RunningCursorIsHeldToTheMapAndTheRunIsOneMove)
{
    hero().x = 58;
    press(0, "r" + std::string(30, '9'));
    EXPECT_EQ(hero().cursor_x, 59);
    EXPECT_EQ(hero().cursor_y, 0);
    press(0, std::string(30, '1') + "5q\x1b");
    EXPECT_EQ(hero().cursor_x, 29);
    EXPECT_EQ(hero().cursor_y, 19);
    EXPECT_EQ(hero().running + game().turn, 0);
    EXPECT_EQ(hero().alive, 1);
    EXPECT_EQ(message(hero()), "Running mode canceled.");

    add_other(10, 10);
    Player& two = add_other(20, 5);
    press(2, "r3333\r");
    EXPECT_EQ(two.x, 24);
    EXPECT_EQ(two.y, 9);
    EXPECT_EQ(game().turn, 1);  // one move for the whole offset
    EXPECT_EQ(message(two), "Running complete.");
}

TEST_F(Network, FollowToggle)
{
    Player& one = add_other(20, 5);
    press(0, "F");
    EXPECT_EQ(message(hero()), "The party leader does not need to follow anyone.");
    press(1, "F");
    EXPECT_EQ(one.follow_target, 0);
    press(1, "F");
    EXPECT_EQ(one.auto_follow, 0);
    EXPECT_EQ(one.follow_target, -1);
    EXPECT_EQ(message(one), "\x1b[36mManual control resumed.\x1b[0m");
}

TEST_F(Network, OnlyTheLeaderOnTheStairsTakesThePartyDown)
{
    add_other(40, 10);
    Player& two = add_other(40, 10);
    press(2, ">");
    press(0, ">");
    EXPECT_EQ(message(two), "\x1b[31mYou are not standing on the stairs.\x1b[0m");
    EXPECT_EQ(message(hero()), message(two));
    EXPECT_EQ(game().level, 1);
    EXPECT_FALSE(all_players_on_stairs(game()));
    hero().x = 40;
    game().others[0].alive = 0;
    game().others[0].x = 1;
    EXPECT_TRUE(all_players_on_stairs(game()));
}

// Leader and slots 0 and 1 on the stairs, slot 2 elsewhere.
TEST_F(Network, DescentCarriesEveryoneDownOntoFreeCellsOfTheMap)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        SetUp();
        srand(seed);
        hero().x = 40;
        for (int i = 0; i < 2; ++i) {
            give(add_other(40, 10), ITEM_SWORD, 0);
            game().others[i].aiming = 1;
        }
        add_other(12, 3);
        press(3, "F");
        press(0, ">");

        const Game& g = game();
        ASSERT_EQ(g.level, 2);
        ASSERT_EQ(g.other_count, 3);
        EXPECT_EQ(g.turn, 1);  // a new level counts from zero
        for (int i = 0; i < 3; ++i) {
            const Player& o = g.others[i];
            EXPECT_EQ(message(o), "\x1b[92mYou descend to level 2!\x1b[0m");
            EXPECT_EQ(o.inventory[0], nullptr);
            EXPECT_EQ(o.aiming, 0);
            ASSERT_TRUE(in_bounds(o.x, o.y));
            EXPECT_FALSE(o.x == g.player.x && o.y == g.player.y);
        }
        EXPECT_EQ(g.others[0].x, g.stairs_x);
        EXPECT_EQ(g.others[0].y, g.stairs_y);
        const Player& second = g.others[1];
        int r = std::abs(second.x - g.stairs_x) + std::abs(second.y - g.stairs_y);
        EXPECT_TRUE(r >= 1 && r <= 3);
        EXPECT_EQ(cell_at(g, second.x, second.y).blocked, 0);
        EXPECT_EQ(g.others[2].x, g.player.x + 6);
        EXPECT_EQ(g.others[2].auto_follow, 1);
        TearDown();
    }
}

TEST_F(Network, DeadSlotIsCarriedDownWhereItLayAndStaysDead)
{
    hero().x = 40;
    add_other(7, 7, 0);
    add_other(40, 10, 9);
    press(0, ">");
    EXPECT_EQ(game().others[0].alive, 0);
    EXPECT_EQ(game().others[0].x, 7);
    EXPECT_EQ(game().others[1].alive, 1);
    EXPECT_EQ(message(game().others[0]), message(hero()));
}

TEST_F(Network, PlacementBesideTheLeaderMirrorsAtTheRightEdge)
{
    for (int leader_x = 0; leader_x < MAP_WIDTH; ++leader_x) {
        SCOPED_TRACE(leader_x);
        game().other_count = 0;
        hero().x = leader_x;
        for (int i = 0; i < MAX_OTHERS; ++i)
            add_other(1, 1, i != 1);
        place_others_beside_leader(game());
        for (int i = 0; i < MAX_OTHERS; i += 2) {
            int d = 2 * (i + 1);
            EXPECT_EQ(game().others[i].x, leader_x + d <= 59 ? leader_x + d : leader_x - d);
            EXPECT_EQ(game().others[i].y, 10);
        }
        EXPECT_EQ(game().others[1].x, 1);  // the dead are not moved
    }
    hero().x = 500;
    place_others_beside_leader(game());
    EXPECT_TRUE(in_bounds(game().others[0].x, game().others[0].y));
}

// Client bytes are untrusted: any stream of keys from any player, with the
// world stepping as the server steps it, keeps every player on the map.
TEST_F(Network, RandomKeyStreamsKeepEveryoneOnTheMap)
{
    constexpr std::string_view KEYS = "123456789aecfrFq>,5mpt\x1b SLzgh?x";
    test::TempDir dir;
    test::ScopedChdir in_dir(dir.path());
    ScriptedTerminal no_input("");  // dialogues and help read end of input
    for (unsigned seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        srand(seed);
        generate_level(game());
        hero().player_class = seed % 4;
        hero().spell_count = 1;
        for (int i = 0; i < MAX_OTHERS; ++i)
            add_other(30 + i, 9, 1);
        add_monster(31, 11, true);
        for (int n = 0; n < 400; ++n) {
            int player = rand() % 5 - (n % 97 == 0);
            int turn = game().turn;
            handle_player_key(game(), KEYS[rand() % KEYS.size()], player);
            if (game().turn > turn)
                world_step(game());
            for (int k = 0; k <= others_limit(game()); ++k) {
                const Player& p = *player_by_number(game(), k);
                if (p.alive) {
                    ASSERT_TRUE(in_bounds(p.x, p.y)) << "player " << k << " after key " << n;
                }
            }
        }
        free_player_items(game());
        game().other_count = 0;
    }
}

}  // namespace
