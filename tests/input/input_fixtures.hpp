// Small worlds and descriptor plumbing for the dispatcher tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

#include "world/dungeon.hpp"
#include "world/game.hpp"
#include "world/items.hpp"

namespace input_test {

inline void make_floor(Cell& c)
{
    c = Cell{};
    c.glyph = '.';
    c.terrain = TERRAIN_FLOOR;
    copy_text(c.color, "\x1b[37m");
}

inline void make_wall(Cell& c)
{
    c = Cell{};
    c.glyph = '#';
    c.blocked = 1;
    c.terrain = TERRAIN_WALL;
    copy_text(c.color, "\x1b[90m");
}

inline void make_player(Player& p, int x, int y)
{
    p = Player{};
    p.x = x;
    p.y = y;
    p.glyph = '@';
    p.hp = p.max_hp = 100;
    p.attack = 5;
    p.alive = 1;
    p.selected_spell = -1;
    p.follow_target = -1;
    copy_text(p.color, "\x1b[36m");
}

// A walled room with open floor inside, player 0 at (30, 10), stairs at
// (40, 10), no monsters. Owns the items its players carry.
class Arena : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_game = std::make_unique<Game>();
        Game& g = *m_game;
        for (int x = 0; x < MAP_WIDTH; ++x) {
            for (int y = 0; y < MAP_HEIGHT; ++y) {
                bool rim = x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1;
                rim ? make_wall(cell_at(g, x, y)) : make_floor(cell_at(g, x, y));
            }
        }
        make_player(g.player, 30, 10);
        g.level = 1;
        g.stairs_x = 40;
        g.stairs_y = 10;
        g.controlled_ally = -1;
        g.ally_controller = -1;
        // A running clock keeps the effect timers counting one per world step.
        set_regen_clock(std::time(nullptr));
    }

    void TearDown() override { free_player_items(*m_game); }

    Game& game() { return *m_game; }
    Player& hero() { return m_game->player; }

    Player& add_other(int x, int y, int alive = 1)
    {
        Game& g = *m_game;
        Player& o = g.others[g.other_count++];
        make_player(o, x, y);
        o.alive = alive;
        return o;
    }

    Monster& add_monster(int x, int y, bool ally)
    {
        Game& g = *m_game;
        Monster& m = g.monsters[g.monster_count++];
        m = Monster{};
        m.x = x;
        m.y = y;
        m.glyph = ally ? 'z' : 'g';
        m.hp = m.max_hp = 20;
        m.attack = 3;
        m.alive = 1;
        m.is_ally = ally ? 1 : 0;
        m.ally_mode = ally ? ALLY_FOLLOW : 0;
        m.ally_turns = ally ? 200 : 0;
        return m;
    }

    static void give(Player& p, int kind, int slot) { p.inventory[slot] = create_item(kind); }

private:
    std::unique_ptr<Game> m_game;
};

// Points a standard descriptor elsewhere for a scope and puts it back.
class ScopedRedirect {
public:
    ScopedRedirect(int target, int replacement) : m_target(target), m_saved(dup(target))
    {
        std::fflush(stdout);
        dup2(replacement, target);
    }
    ~ScopedRedirect()
    {
        std::fflush(stdout);
        dup2(m_saved, m_target);
        close(m_saved);
    }
    ScopedRedirect(const ScopedRedirect&) = delete;
    ScopedRedirect& operator=(const ScopedRedirect&) = delete;

private:
    int m_target;
    int m_saved;
};

// Standard input reads the given bytes and then ends; standard output goes to
// /dev/null, so frames and prompts do not clutter the test log.
class ScriptedTerminal {
public:
    explicit ScriptedTerminal(std::string_view input)
    {
        int fds[2] = { -1, -1 };
        EXPECT_EQ(pipe(fds), 0);
        EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(fds[1]);
        m_null = open("/dev/null", O_WRONLY);
        m_in = std::make_unique<ScopedRedirect>(0, fds[0]);
        m_out = std::make_unique<ScopedRedirect>(1, m_null);
        close(fds[0]);
        std::clearerr(stdin);
    }
    ~ScriptedTerminal()
    {
        m_out.reset();
        m_in.reset();
        close(m_null);
        std::clearerr(stdin);
    }
    ScriptedTerminal(const ScriptedTerminal&) = delete;
    ScriptedTerminal& operator=(const ScriptedTerminal&) = delete;

private:
    int m_null { -1 };
    std::unique_ptr<ScopedRedirect> m_in;
    std::unique_ptr<ScopedRedirect> m_out;
};

}  // namespace input_test
