// Melee blows: one rand() per blow, damage at least 1, kills pay gold and leave corpses.
#pragma once

#include "world/game.hpp"

void player_attack(Game& game, Player& p, Monster& m);
void monster_attack(Game& game, Monster& m, Player& p);
