// Player movement on the map: terrain, bumping into monsters, swapping with allies.
#pragma once

#include "world/game.hpp"

// The keypad direction of a digit key ('1'-'4', '6'-'9'); false for any other key.
bool keypad_direction(char key, int& dx, int& dy);

// Moves a player record by (dx, dy); an offset longer than one cell is a jump.
// Writes a message for every outcome; a refused step uses no turn.
void move_player(Game& game, int dx, int dy, Player& p);

// Moves others[slot] (server players 1..3) silently; steps onto allies.
void move_remote_player(Game& game, int slot, int dx, int dy);

// One automatic step of player_number toward its follow_target.
void follow_step(Game& game, int player_number);
