// Melee blows: one rand() per blow, damage at least 1, kills pay gold and leave corpses.
#pragma once

#include "world/game.hpp"

void player_attack(Game& game, Player& p, Monster& m);
void monster_attack(Game& game, Monster& m, Player& p);

// Told of each player a monster's blow kills, while the rules run (under the
// game lock in the server), so that the score can name the killer.
using PlayerKilledWatch = void (*)(const Game& game, const Player& p, const Monster& killer);
void set_player_killed_watch(PlayerKilledWatch watch);

// An ally's blow on a hostile monster: rand() % spread + attack - defense, at
// least 1. It writes no message and pays no gold; a kill leaves a corpse.
void ally_strike(Game& game, Monster& ally, Monster& target, int spread);
