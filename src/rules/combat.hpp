// Melee blows: one rand() per blow, damage at least 1, kills pay gold and leave corpses.
#pragma once

#include "world/game.hpp"

void player_attack(Game& game, Player& p, Monster& m);
void monster_attack(Game& game, Monster& m, Player& p);

// An ally's blow on a hostile monster: rand() % spread + attack - defense, at
// least 1. It writes no message and pays no gold; a kill leaves a corpse.
void ally_strike(Game& game, Monster& ally, Monster& target, int spread);
