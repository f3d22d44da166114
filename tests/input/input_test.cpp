// The local and networked key dispatchers: modes, world steps, end of input, descent.
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <unistd.h>
#include "input/local.hpp"
#include "input/network.hpp"
#include "render/render.hpp"
#include "support/test_support.hpp"
#include "term/term.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"
#include "world/away_double.hpp"

namespace {

constexpr int CLOCK = 50;

// Standard input and output on the given descriptors for the scope; with a
// text, input reads it and then ends, and output is discarded.
class ScriptedTerminal {
public:
    explicit ScriptedTerminal(std::string_view input) : ScriptedTerminal(pipe_holding(input), open("/dev/null", O_WRONLY)) {}
    ScriptedTerminal(int in, int out)
    {
        std::fflush(stdout);
        move_to(in, 0);
        move_to(out, 1);
    }
    static int pipe_holding(std::string_view input)
    {
        int fds[2] = { -1, -1 };
        EXPECT_EQ(pipe(fds), 0);
        EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(fds[1]);
        return fds[0];
    }
    ~ScriptedTerminal()
    {
        std::fflush(stdout);
        move_to(m_in, 0);
        move_to(m_out, 1);
    }
    static void move_to(int from, int to)
    {
        dup2(from, to);
        close(from);
        std::clearerr(stdin);
    }

private:
    int m_in = dup(0), m_out = dup(1);
};

// Open floor inside a wall rim, player 0 at (30, 10), stairs at (40, 10).
// Flight runs down by one in every world step, which makes the steps countable.
class Input : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_game = std::make_unique<Game>();
        for (int x = 0; x < MAP_WIDTH; ++x)
            for (int y = 0; y < MAP_HEIGHT; ++y) {
                bool rim = x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1;
                game().map[x][y].blocked = rim;
                game().map[x][y].terrain = rim ? TERRAIN_WALL : TERRAIN_FLOOR;
            }
        hero() = placed(30, 10, 1);
        hero().flying_turns = CLOCK;
        game().level = 1;
        game().stairs_x = 40;
        game().stairs_y = 10;
        game().controlled_ally = game().ally_controller = -1;
        set_regen_clock(std::time(nullptr));  // effect timers then count one per world step
    }
    void TearDown() override { free_player_items(*m_game); }

    static Player placed(int x, int y, int alive)
    {
        Player p {};
        p.x = x;
        p.y = y;
        p.hp = p.max_hp = 100;
        p.alive = alive;
        p.selected_spell = p.follow_target = -1;
        return p;
    }
    Game& game() { return *m_game; }
    Player& hero() { return m_game->player; }
    Player& add_other(int x, int y, int live = 1) { return m_game->others[m_game->other_count++] = placed(x, y, live); }
    Monster& add_ally(int x, int y)
    {
        Monster& m = m_game->monsters[m_game->monster_count++] = Monster {};
        m.x = x;
        m.y = y;
        m.hp = m.max_hp = 20;
        m.alive = m.is_ally = 1;
        m.ally_turns = 200;
        return m;
    }
    static Player& give(Player& p, int kind, int slot) { return p.inventory[slot] = create_item(kind), p; }
    static std::string message(const Player& p) { return p.message; }

    void press(std::string_view keys) { for (char k : keys) handle_local_key(game(), k); }
    void press(int number, std::string_view keys) { for (char k : keys) handle_player_key(game(), k, number); }
    void play(std::string_view keys)
    {
        hero().alive = 1;
        ScriptedTerminal term(keys);
        run_local_game(game());
    }
    int world_steps() { return CLOCK - hero().flying_turns; }
    std::unique_ptr<Game> m_game;
};

TEST_F(Input, CastKeyEndsAimingWithoutCastingAndEquipPromptHoldsKeys)
{
    hero().player_class = CLASS_WIZARD;
    hero().mana = 150;
    hero().spell_count = 1;
    hero().spells[0] = Spell { SPELL_FIREBALL, "Fireball", 20, 25, "\x1b[91m" };
    give(hero(), ITEM_ARROWS, 0);
    press("f6c");
    EXPECT_EQ(hero().aiming + hero().choosing_spell, 0);
    EXPECT_EQ(hero().mana, 150);
    press("c16c");  // a chosen spell is cast at the cursor
    EXPECT_EQ(hero().mana, 130);

    // The equip prompt takes 1 to 9 and holds every other key.
    give(hero(), ITEM_SWORD, 8);
    press("e0aq");
    EXPECT_EQ(hero().choosing_item, 1);
    EXPECT_EQ(hero().alive, 1);
    press("9");
    EXPECT_EQ(hero().choosing_item, 0);
    EXPECT_NE(hero().weapon, nullptr);

    hero().player_class = CLASS_ROGUE;
    press("c");
    EXPECT_EQ(message(hero()), "\x1b[31mYou cannot cast spells.\x1b[0m");
    game().wizard_mode = 1;  // lets any class with spells choose one
    for (char cancel : { '\x1b', ' ', '0', 'q' }) {
        press(std::string("c") + cancel);
        EXPECT_EQ(hero().choosing_spell + hero().alive, 1) << cancel;
    }
    press("f ");
    EXPECT_EQ(message(hero()), "Aiming canceled.");
}

TEST_F(Input, EachKeypadDigitStepsItsOwnWay)
{
    std::string trail;
    for (char key : std::string_view("78963214"))
        press(std::string(1, key)), trail += std::to_string(hero().x) + "," + std::to_string(hero().y) + " ";
    EXPECT_EQ(trail, "29,9 29,8 30,7 31,7 32,8 32,9 31,10 30,10 ");
}

TEST_F(Input, EndOfInputEndsChatAndTheLoopAndALongChatLineLeavesNoTail)
{
    for (const std::string& input : { std::string(), std::string(260, 'a') + std::string(40, 'b') + "\nsecond\n" }) {
        ScriptedTerminal term(input);
        press("//");
    }
    ASSERT_EQ(game().chat_count, 2);  // none from the end of input
    EXPECT_EQ(std::string(game().chat_lines[0]).find('b'), std::string::npos);
    EXPECT_TRUE(std::string(game().chat_lines[1]).ends_with("\x1b[97msecond"));

    play("");  // end of input or a read error ends the loop
    EXPECT_EQ(hero().alive, 0);
    {
        ScriptedTerminal quiet("");
        ScriptedTerminal::move_to(open("/dev/null", O_WRONLY), 0);  // reads fail
        hero().alive = 1;
        run_local_game(game());
    }
    EXPECT_EQ(hero().alive, 0);
    EXPECT_EQ(world_steps(), 0);
}

TEST_F(Input, EveryByteThatLeavesNoPromptOpenLetsTheWorldMoveOnce)
{
    play("x\x1b[A");  // an arrow key is three keys
    EXPECT_EQ(world_steps(), 4);
    EXPECT_EQ(game().turn, 0);
    give(hero(), ITEM_ARROWS, 0);
    play("f\x1b[A");  // aiming holds the world; its ESC ends aiming
    EXPECT_EQ(world_steps(), 7);
    play("/55\n");  // a chat line is one key, not its characters
    EXPECT_EQ(world_steps(), 8);
    EXPECT_EQ(game().turn, 0);
    play("qx");
    EXPECT_EQ(world_steps(), 9);

    add_ally(31, 10);
    play("a55");  // the open ally menu holds the world, though '5' still waits
    EXPECT_EQ(game().ally_menu, 1);
    EXPECT_EQ(game().turn, 2);
    EXPECT_EQ(world_steps(), 9);
    play("1");
    EXPECT_EQ(game().ally_menu, 0);
    EXPECT_EQ(world_steps(), 10);
    for (std::int32_t* loaded_flag : { &game().reserved_a, &game().reserved_b })
        *loaded_flag = 1, play("x"), *loaded_flag = 0;
    EXPECT_EQ(world_steps(), 10) << "the loop counts them among the open prompts";
}

// Regression: with skip_key loaded, the help frame was drawn whole and the
// help's own key went to the dispatcher as a command.
TEST_F(Input, SkipKeyHelpReadsItsKeyBeforeTheMessageLine)
{
    game().skip_key = 1;
    std::string frame;
    build_frame(*std::make_unique<Game>(game()), hero(), 0, frame);
    int in[2], out[2];
    ASSERT_EQ(pipe(in) | pipe(out), 0);
    std::string before_key;
    {
        ScriptedTerminal term(in[0], out[1]);
        std::thread loop([&] { run_local_game(game()); });
        before_key = test::read_available(out[0], 300);
        test::write_text(in[1], "55");  // the first for the help, the second clears the flag
        close(in[1]);
        loop.join();
    }
    const std::string shown = before_key + test::read_available(out[0]);
    close(out[0]);
    EXPECT_TRUE(before_key.ends_with(help_text())) << "drawn on past the help before its key";
    EXPECT_EQ(shown.substr(0, frame.size()), frame) << "the frame's bytes";
    EXPECT_EQ(std::tuple(game().skip_key, game().turn, world_steps()), std::tuple(0, 0, 1));
}

TEST_F(Input, WizardKeysAndTheTwoTTeleport)
{
    play("gt");
    EXPECT_EQ(hero().gold + hero().aiming, 0);
    play("zgt66");
    EXPECT_EQ(hero().gold, 1000);
    EXPECT_EQ(hero().aiming, 1);
    EXPECT_EQ(world_steps(), 4);  // 't' opened the cursor: the world waits
    play("t");
    EXPECT_EQ(hero().aiming, 0);
    EXPECT_EQ(hero().x, 32);
    EXPECT_EQ(world_steps(), 5);
}

TEST_F(Input, NumbersThatNameNobodyAreIgnoredAndFollowToggles)
{
    Player& one = add_other(20, 5);
    for (int number : { -1, 2, 3, 4, 200 })
        press(number, "5q6F");
    EXPECT_EQ(game().turn, 0);
    EXPECT_EQ(hero().alive + one.alive, 2);
    press(0, "F");
    EXPECT_EQ(message(hero()), "The party leader does not need to follow anyone.");
    press(1, "F");
    EXPECT_EQ(one.follow_target, 0);
    press(1, "F");
    EXPECT_EQ(one.auto_follow + one.follow_target, -1);
    EXPECT_EQ(message(one), "\x1b[36mManual control resumed.\x1b[0m");
    press(1, "6q");  // the sender moves and quits, nobody else
    EXPECT_EQ(one.x, 21);
    EXPECT_EQ(one.alive, 0);
    EXPECT_EQ(hero().alive, 1);
}

TEST_F(Input, AllyMenuNeedsANecromancerOrWizardModeAndAnyoneAnswersIt)
{
    Monster& ghoul = add_ally(25, 8);
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
}

TEST_F(Input, RunningCursorIsHeldToTheMapAndTheRunIsOneMove)
{
    hero().x = 58;
    press(0, "r" + std::string(30, '9'));
    EXPECT_EQ(std::pair(hero().cursor_x, hero().cursor_y), std::pair(59, 0));
    press(0, std::string(30, '1') + "5q\x1b");
    EXPECT_EQ(std::pair(hero().cursor_x, hero().cursor_y), std::pair(29, 19));
    EXPECT_EQ(hero().running + game().turn, 0);
    EXPECT_EQ(hero().alive, 1);
    EXPECT_EQ(message(hero()), "Running mode canceled.");
    add_other(10, 10);
    Player& two = add_other(20, 5);
    press(2, "r3333\r");
    EXPECT_EQ(std::pair(two.x, two.y), std::pair(24, 9));
    EXPECT_EQ(game().turn, 1);  // one move for the whole offset
    EXPECT_EQ(message(two), "Running complete.");
    press(2, "r4\n");
    EXPECT_EQ(two.x, 23);
    // A cursor damaged in a save must not overflow the local run either.
    hero().running = 1;
    hero().cursor_x = 2147483647;
    hero().cursor_y = -2147483647 - 1;
    press("3r");
    EXPECT_TRUE(in_bounds(hero().x, hero().y));
}

TEST_F(Input, OnlyTheLeaderOnTheStairsTakesThePartyDown)
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
    game().others[0] = Player {};  // dead slots do not count
    EXPECT_TRUE(all_players_on_stairs(game()));
}

// A held seat sends no keys that count, the stairs wait for nobody away, and
// it still goes down with the party.
TEST_F(Input, AnAwayPlayerHoldsNobodyUpAndGoesDownWithTheParty)
{
    hero().x = 40;
    add_other(40, 10);
    add_other(12, 3);
    Game& g = server_game();
    g = game();
    world_test::ScopedAway away({2});
    EXPECT_TRUE(all_players_on_stairs(g));
    for (char key : {'4', 'r', 'F'})
        handle_player_key(g, key, 2);
    EXPECT_EQ(g.others[1].x + g.others[1].running + g.others[1].auto_follow + g.turn, 12);
    srand(3);
    handle_player_key(g, '>', 0);
    ASSERT_EQ(g.level, 2);
    const Player& gone = g.others[1];
    EXPECT_TRUE(gone.alive && gone.x == (g.player.x + 4 <= 59 ? g.player.x + 4 : g.player.x - 4) && gone.y == g.player.y);
    EXPECT_EQ(message(gone), "\x1b[92mYou descend to level 2!\x1b[0m");
    g = Game {};
}

// Leader and slots 0 and 1 on the stairs, slot 2 elsewhere.
TEST_F(Input, DescentCarriesEveryoneDownOntoFreeCellsOfTheMap)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        SetUp();
        srand(seed);
        hero().x = 40;
        for (int i = 0; i < 2; ++i)
            give(add_other(40, 10), ITEM_SWORD, 0).aiming = 1;
        add_other(12, 3);
        press(3, "F");
        press(0, ">");
        const Game& g = game();
        ASSERT_EQ(g.level, 2);
        EXPECT_EQ(g.turn, 1);  // a new level counts from zero
        for (int i = 0; i < 3; ++i) {
            const Player& o = g.others[i];
            EXPECT_EQ(message(o), "\x1b[92mYou descend to level 2!\x1b[0m");
            EXPECT_EQ(o.inventory[0], nullptr);
            EXPECT_EQ(o.aiming, 0);
            ASSERT_TRUE(in_bounds(o.x, o.y));
            EXPECT_FALSE(o.x == g.player.x && o.y == g.player.y);
        }
        EXPECT_TRUE(g.others[0].x == g.stairs_x && g.others[0].y == g.stairs_y);
        const Player& second = g.others[1];
        int r = std::abs(second.x - g.stairs_x) + std::abs(second.y - g.stairs_y);
        EXPECT_TRUE(r >= 1 && r <= 3 && !cell_at(g, second.x, second.y).blocked) << r;
        EXPECT_EQ(g.others[2].x, g.player.x + 6);
        EXPECT_EQ(g.others[2].auto_follow, 1);
        TearDown();
    }
}

TEST_F(Input, PlacementBesideTheLeaderMirrorsAtTheRightEdge)
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

}  // namespace
