// Small hand-built scenes for the turn rules: an open floor, chosen monsters,
// players and kit, and a way to say "nothing but the message changed".
#pragma once

#include <gtest/gtest.h>

#include "world/game.hpp"

namespace scene {

// A cleared record (carried items of the last scene released): all floor,
// player 0 alive at (10, 10) with 30 hp, attack 5, defense 2, level 1.
Game& fresh();

void wall(Game& g, int x, int y);
void water(Game& g, int x, int y);

Monster& monster(Game& g, int x, int y, int hp = 25, int attack = 7, int defense = 2, int gold = 7);
Monster& ally(Game& g, int x, int y, int hp = 25, int attack = 7, int defense = 2);
Player& other(Game& g, int x, int y);

// A catalogue item in the first free inventory slot; weapon/armor also equip it.
Item* give(Player& p, int kind, int quantity = 1);
Item* weapon(Player& p, int kind, int value);
Item* armor(Player& p, int value);

void learn(Player& p, int id, const char* name, int cost, int power);

// The record equals `before` in every byte outside the players' message lines.
::testing::AssertionResult unchanged_but_messages(const Game& before, const Game& after);

// The first rand() after srand(seed), reduced by the spread: the exact random part of a blow.
int draw(unsigned seed, int spread);

}  // namespace scene
