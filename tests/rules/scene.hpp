// Hand-built scenes for the turn rules: an open floor, chosen monsters,
// players and kit, and a way to say "nothing but the message lines changed".
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "world/game.hpp"

namespace scene {

// A cleared record (the last scene's items released): all floor, player 0
// alive at (10, 10) with 30 hp, attack 5, defense 2.
Game& fresh();
void wall(Game& g, int x, int y);
void water(Game& g, int x, int y);
Monster& monster(Game& g, int x, int y, int hp = 25, int attack = 7, int defense = 2, int gold = 7);
Monster& ally(Game& g, int x, int y, int hp = 25, int attack = 7);
Player& other(Game& g, int x, int y);
// A catalogue item in the first free inventory slot.
Item* give(Player& p, int kind, int quantity = 1, int value = 0);
void learn(Player& p, int id, const char* name, int cost, int power = 0);

inline std::unique_ptr<Game> snapshot(const Game& g) { return std::make_unique<Game>(g); }
::testing::AssertionResult same(const Game& before, const Game& after);
::testing::AssertionResult unchanged_but_messages(const Game& before, const Game& after);

// The random part of the next blow: srand(seed), then the first rand() % spread.
int draw(unsigned seed, int spread);

}  // namespace scene
