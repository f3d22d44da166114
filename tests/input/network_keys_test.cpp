// The networked dispatcher: per-player prompts, the shared ally menu, running
// and follow mode, and the party descent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "input/input_fixtures.hpp"
#include "input/network.hpp"
#include "term/term.hpp"

using input_test::Arena;

namespace {

constexpr const char* NOT_ON_STAIRS = "\x1b[31mYou are not standing on the stairs.\x1b[0m";

class NetworkKeys : public Arena {
protected:
    void press(int player_number, std::string_view keys)
    {
        for (char k : keys)
            handle_player_key(game(), k, player_number);
    }
    static std::string message(const Player& p) { return p.message; }
};

TEST_F(NetworkKeys, NumbersThatNameNobodyAreIgnored)
{
    Player& one = add_other(20, 5);
    const Player before = one;
    for (int number : { -1, 2, 3, 4, 127, -128 })
        press(number, "5q6F");
    EXPECT_EQ(game().turn, 0);
    EXPECT_EQ(hero().alive, 1);
    EXPECT_EQ(one.alive, 1);
    EXPECT_EQ(one.x, before.x);
    EXPECT_EQ(game().others[1].alive, 0);  // the slot past other_count stays untouched
    EXPECT_EQ(message(game().others[1]), "");
}

TEST_F(NetworkKeys, EachPlayerMovesAndQuitsThemselves)
{
    Player& one = add_other(20, 5);
    press(1, "6");
    EXPECT_EQ(one.x, 21);
    EXPECT_EQ(hero().x, 30);
    press(0, "4");
    EXPECT_EQ(hero().x, 29);
    press(1, "q");
    EXPECT_EQ(one.alive, 0);
    EXPECT_EQ(hero().alive, 1);
}

TEST_F(NetworkKeys, WizardKeysDoNothingEvenInWizardMode)
{
    press(0, "z");
    EXPECT_EQ(game().wizard_mode, 0);
    game().wizard_mode = 1;
    hero().hp = 1;
    press(0, "ghkwt");
    EXPECT_EQ(hero().gold, 0);
    EXPECT_EQ(hero().hp, 1);
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(game().level, 1);
    EXPECT_EQ(game().wizard_mode, 1);
}

TEST_F(NetworkKeys, AllyCommandsNeedANecromancerUnlessWizardModeIsOn)
{
    add_monster(31, 10, true);
    press(0, "a");
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(message(hero()), "\x1b[31mOnly Necromancers can command undead allies.\x1b[0m");

    game().wizard_mode = 1;
    press(0, "a");
    EXPECT_EQ(game().ally_menu, 1);

    game().ally_menu = 0;
    game().wizard_mode = 0;
    Player& necro = add_other(20, 5);
    necro.player_class = CLASS_NECROMANCER;
    press(1, "a");
    EXPECT_EQ(game().ally_menu, 1);
    EXPECT_EQ(message(necro), "\x1b[96mAlly Command: 1=Follow, 2=Attack, 3=Manual, 4=Cancel\x1b[0m");
}

TEST_F(NetworkKeys, SharedAllyMenuIsAnsweredByWhoeverPressesNext)
{
    Monster& ghoul = add_monster(25, 8, true);
    Player& necro = add_other(20, 5);
    necro.player_class = CLASS_NECROMANCER;
    Player& fighter = add_other(22, 5);
    press(1, "a");
    press(2, "3");
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(game().controlled_ally, 0);
    EXPECT_EQ(game().ally_controller, 2);
    EXPECT_EQ(fighter.cursor_x, 25);
    EXPECT_EQ(fighter.cursor_y, 8);
    EXPECT_EQ(message(fighter),
              "\x1b[95mManual control: Use numpad to move ally, 'p' for next ally, 'm' to confirm, space to cancel.\x1b[0m");

    // While an ally is steered every player's digits steer it.
    press(0, "6");
    EXPECT_EQ(ghoul.x, 26);
    EXPECT_EQ(hero().x, 30);
    EXPECT_EQ(hero().cursor_x, 26);
    press(1, "\x1b");
    EXPECT_EQ(game().controlled_ally, -1);
    EXPECT_EQ(game().ally_controller, -1);
    EXPECT_EQ(message(necro), "Manual control canceled.");
}

TEST_F(NetworkKeys, AimingKeepsTheAllyMenuAndHasNoTeleport)
{
    give(hero(), ITEM_STONES, 0);
    game().wizard_mode = 1;
    press(0, "f6t");
    EXPECT_EQ(hero().aiming, 1);
    EXPECT_EQ(hero().x, 30);
    game().ally_menu = 1;
    press(0, "\x1b");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(game().ally_menu, 1);
    EXPECT_EQ(message(hero()), "Aiming canceled.");
    press(0, "f6f");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(game().ally_menu, 1);
}

TEST_F(NetworkKeys, CastKeyTestsSpellsNotClass)
{
    press(0, "c");
    EXPECT_EQ(hero().choosing_spell, 0);
    EXPECT_EQ(message(hero()), "\x1b[31mYou know no spells.\x1b[0m");
    hero().spell_count = 1;
    press(0, "c");
    EXPECT_EQ(hero().choosing_spell, 1);
    EXPECT_EQ(message(hero()), "\x1b[94mChoose spell (1-9) or 'c' to cancel.\x1b[0m");
}

TEST_F(NetworkKeys, RunningCursorStaysOnTheMap)
{
    hero().x = 58;
    press(0, "r");
    ASSERT_EQ(hero().running, 1);
    EXPECT_EQ(message(hero()),
              "\x1b[96mRunning mode: Use numpad to move cursor, 'r' or Enter to run, ESC/Space to cancel.\x1b[0m");
    press(0, std::string(30, '9'));
    EXPECT_EQ(hero().cursor_x, 59);
    EXPECT_EQ(hero().cursor_y, 0);
    press(0, std::string(30, '1'));
    EXPECT_EQ(hero().cursor_x, 29);
    EXPECT_EQ(hero().cursor_y, 19);
    press(0, "5qa");  // ignored while running
    EXPECT_EQ(hero().alive, 1);
    EXPECT_EQ(game().turn, 0);
    press(0, "\x1b");
    EXPECT_EQ(hero().running, 0);
    EXPECT_EQ(hero().x, 58);
    EXPECT_EQ(message(hero()), "Running mode canceled.");
}

TEST_F(NetworkKeys, RunIsOneMoveOfTheWholeOffsetForAnyPlayer)
{
    add_other(10, 10);
    Player& two = add_other(20, 5);
    press(2, "r3333");
    press(2, std::string(1, '\r'));
    EXPECT_EQ(two.running, 0);
    EXPECT_EQ(two.x, 24);
    EXPECT_EQ(two.y, 9);
    EXPECT_EQ(game().turn, 1);  // one move, one turn
    EXPECT_EQ(message(two), "Running complete.");

    press(0, "rr");
    EXPECT_EQ(hero().running, 0);
    EXPECT_EQ(game().turn, 1);
    EXPECT_EQ(message(hero()), "Running complete.");
}

TEST_F(NetworkKeys, FollowToggleForFollowersOnly)
{
    Player& one = add_other(20, 5);
    press(0, "F");
    EXPECT_EQ(hero().auto_follow, 0);
    EXPECT_EQ(message(hero()), "The party leader does not need to follow anyone.");
    press(1, "F");
    EXPECT_EQ(one.auto_follow, 1);
    EXPECT_EQ(one.follow_target, 0);
    EXPECT_EQ(message(one),
              "\x1b[96mNow automatically following the party leader (@). Press F again to stop.\x1b[0m");
    press(1, "F");
    EXPECT_EQ(one.auto_follow, 0);
    EXPECT_EQ(one.follow_target, -1);
    EXPECT_EQ(message(one), "\x1b[36mManual control resumed.\x1b[0m");
}

TEST_F(NetworkKeys, OnlyTheLeaderOnTheStairsTakesThePartyDown)
{
    add_other(40, 10);
    Player& two = add_other(40, 10);
    press(2, ">");
    EXPECT_EQ(message(two), NOT_ON_STAIRS);
    EXPECT_EQ(game().level, 1);
    press(0, ">");
    EXPECT_EQ(message(hero()), NOT_ON_STAIRS);
    EXPECT_EQ(game().level, 1);
    EXPECT_EQ(game().turn, 0);
}

class PartyDescent : public NetworkKeys {
protected:
    // Leader and slot 0 on the stairs, slot 1 elsewhere, slot 2 dead.
    void stage(unsigned seed)
    {
        srand(seed);
        hero().x = game().stairs_x;
        hero().y = game().stairs_y;
        Player& on = add_other(40, 10);
        give(on, ITEM_SWORD, 0);
        on.aiming = 1;
        on.choosing_item = 1;
        on.selected_spell = 2;
        Player& off = add_other(12, 3);
        give(off, ITEM_BOW, 4);
        press(1, "e");
        press(2, "F");
        add_other(5, 5, 0);
    }
};

TEST_F(PartyDescent, CarriesEveryoneDownAndPlacesThemOnTheMap)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        SetUp();
        stage(seed);
        game().turn = 9;
        press(0, ">");

        const Game& g = game();
        ASSERT_EQ(g.level, 2);
        EXPECT_EQ(g.turn, 1);  // a new level starts counting afresh
        ASSERT_EQ(g.other_count, 3);
        const std::string text = "\x1b[92mYou descend to level 2!\x1b[0m";
        EXPECT_EQ(message(g.player), text);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(message(g.others[i]), text);

        const Player& on = g.others[0];
        EXPECT_EQ(on.alive, 1);
        EXPECT_LE(std::abs(on.x - g.stairs_x) + std::abs(on.y - g.stairs_y), 3);
        EXPECT_FALSE(on.x == g.player.x && on.y == g.player.y);
        ASSERT_TRUE(in_bounds(on.x, on.y));
        EXPECT_EQ(cell_at(g, on.x, on.y).blocked, 0);
        EXPECT_EQ(on.inventory[0], nullptr);
        EXPECT_EQ(on.aiming, 0);
        EXPECT_EQ(on.choosing_item, 0);
        EXPECT_EQ(on.selected_spell, -1);

        const Player& off = g.others[1];
        EXPECT_EQ(off.x, g.player.x + 4 <= 59 ? g.player.x + 4 : g.player.x - 4);
        EXPECT_EQ(off.y, g.player.y);
        EXPECT_EQ(off.inventory[4], nullptr);
        EXPECT_EQ(off.auto_follow, 1);  // follow mode survives the stairs

        const Player& dead = g.others[2];
        EXPECT_EQ(dead.alive, 0);
        EXPECT_EQ(dead.x, 5);
        EXPECT_EQ(dead.y, 5);
        TearDown();
    }
}

TEST_F(PartyDescent, TwoOnTheStairsShareNoCell)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        SetUp();
        srand(seed);
        hero().x = game().stairs_x;
        hero().y = game().stairs_y;
        add_other(40, 10);
        add_other(40, 10);
        press(0, ">");

        const Game& g = game();
        const Player& first = g.others[0];
        const Player& second = g.others[1];
        EXPECT_EQ(first.x, g.stairs_x);
        EXPECT_EQ(first.y, g.stairs_y);
        int r = std::abs(second.x - g.stairs_x) + std::abs(second.y - g.stairs_y);
        EXPECT_GE(r, 1);
        EXPECT_LE(r, 3);
        ASSERT_TRUE(in_bounds(second.x, second.y));
        EXPECT_EQ(cell_at(g, second.x, second.y).blocked, 0);
        EXPECT_FALSE(second.x == g.player.x && second.y == g.player.y);
        TearDown();
    }
}

TEST_F(PartyDescent, AliveFlagIsNormalisedAndTheLeaderCarriesNothing)
{
    stage(3);
    game().others[1].alive = 7;
    give(hero(), ITEM_HEALTH_POTION, 2);
    press(0, ">");
    EXPECT_EQ(game().others[1].alive, 1);
    EXPECT_EQ(hero().inventory[2], nullptr);
}

TEST_F(PartyDescent, AllPlayersOnStairsIgnoresTheDead)
{
    hero().x = game().stairs_x;
    hero().y = game().stairs_y;
    add_other(40, 10);
    add_other(3, 3, 0);
    EXPECT_TRUE(all_players_on_stairs(game()));
    add_other(39, 10);
    EXPECT_FALSE(all_players_on_stairs(game()));
    hero().x = 1;
    game().other_count = 0;
    EXPECT_FALSE(all_players_on_stairs(game()));
}

class Placement : public NetworkKeys {};

TEST_F(Placement, BesideALeaderNearTheRightEdgeStaysOnTheMap)
{
    for (int leader_x = 0; leader_x < MAP_WIDTH; ++leader_x) {
        SCOPED_TRACE(leader_x);
        game().other_count = 0;
        hero().x = leader_x;
        hero().y = 19;
        for (int i = 0; i < MAX_OTHERS; ++i)
            add_other(1, 1);
        place_others_beside_leader(game());
        for (int i = 0; i < MAX_OTHERS; ++i) {
            const Player& o = game().others[i];
            int d = 2 * (i + 1);
            EXPECT_TRUE(in_bounds(o.x, o.y));
            EXPECT_EQ(o.y, 19);
            EXPECT_EQ(o.x, leader_x + d <= 59 ? leader_x + d : leader_x - d);
        }
    }
}

TEST_F(Placement, DeadSlotsStayWhereTheyAre)
{
    hero().x = 57;
    add_other(1, 1);
    add_other(2, 2, 0);
    place_others_beside_leader(game());
    EXPECT_EQ(game().others[0].x, 59);
    EXPECT_EQ(game().others[1].x, 2);
    EXPECT_EQ(game().others[1].y, 2);
}

TEST_F(Placement, DamagedLeaderPositionStillGivesCellsOnTheMap)
{
    hero().x = 500;
    hero().y = -40;
    add_other(1, 1);
    place_others_beside_leader(game());
    EXPECT_TRUE(in_bounds(game().others[0].x, game().others[0].y));
}

}  // namespace
