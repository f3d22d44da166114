// A small walled world and scripted standard descriptors for the dispatcher tests.
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
#include "world/items.hpp"

namespace input_test {

// Open floor inside a wall rim, player 0 at (30, 10), stairs at (40, 10).
class Arena : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_game = std::make_unique<Game>();
        Game& g = *m_game;
        for (int x = 0; x < MAP_WIDTH; ++x)
            for (int y = 0; y < MAP_HEIGHT; ++y) {
                bool rim = x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1;
                g.map[x][y].blocked = rim;
                g.map[x][y].terrain = rim ? TERRAIN_WALL : TERRAIN_FLOOR;
                g.map[x][y].glyph = rim ? '#' : '.';
            }
        place(g.player, 30, 10, 1);
        g.level = 1;
        g.stairs_x = 40;
        g.stairs_y = 10;
        g.controlled_ally = g.ally_controller = -1;
        set_regen_clock(std::time(nullptr));  // effect timers then count one per world step
    }
    void TearDown() override { free_player_items(*m_game); }

    static void place(Player& p, int x, int y, int alive)
    {
        p = Player{};
        p.x = x;
        p.y = y;
        p.hp = p.max_hp = 100;
        p.alive = alive;
        p.selected_spell = p.follow_target = -1;
    }
    Game& game() { return *m_game; }
    Player& hero() { return m_game->player; }
    Player& add_other(int x, int y, int alive = 1)
    {
        Player& o = m_game->others[m_game->other_count++];
        place(o, x, y, alive);
        return o;
    }
    Monster& add_monster(int x, int y, bool ally)
    {
        Monster& m = m_game->monsters[m_game->monster_count++];
        m = Monster{};
        m.x = x;
        m.y = y;
        m.glyph = ally ? 'z' : 'o';
        m.hp = m.max_hp = 20;
        m.alive = 1;
        m.is_ally = ally;
        m.ally_turns = 200;
        return m;
    }
    static void give(Player& p, int kind, int slot) { p.inventory[slot] = create_item(kind); }
    static std::string message(const Player& p) { return p.message; }

private:
    std::unique_ptr<Game> m_game;
};

// Points a descriptor elsewhere for a scope.
class ScopedRedirect {
public:
    ScopedRedirect(int target, int replacement) : m_target(target), m_saved(dup(target)) { dup2(replacement, target); }
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

// Standard input reads these bytes and then ends; standard output is discarded.
class ScriptedTerminal {
public:
    explicit ScriptedTerminal(std::string_view input)
    {
        int fds[2] = { -1, -1 };
        EXPECT_EQ(pipe(fds), 0);
        EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(fds[1]);
        std::fflush(stdout);
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
    int m_null { open("/dev/null", O_WRONLY) };
    std::unique_ptr<ScopedRedirect> m_in;
    std::unique_ptr<ScopedRedirect> m_out;
};

}  // namespace input_test
