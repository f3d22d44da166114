// Local play: the loop that draws, reads one key and runs the world step, and
// the modal key dispatcher for player 0.
#pragma once

#include "world/game.hpp"

// Runs until game.player is no longer alive (death, 'q' or end of input).
void run_local_game(Game& game);

// One pass of the loop after its key is read: wizard mode or handle_local_key,
// then the world step unless a prompt holds the world still.
void play_local_key(Game& game, char key);

void handle_local_key(Game& game, char key);

// Monsters, projectiles, then per-turn effects.
void world_step(Game& game);
