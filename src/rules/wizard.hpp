// Wizard (debug) mode of local play: 'z' toggles, then k h g t w act on `player`.
#pragma once

#include "world/game.hpp"

void wizard_command(Game& game, char key);

// Kills every living monster, allies included, without corpses; returns the count.
int wrath_of_god(Game& game);

void wizard_teleport(Game& game, int x, int y);
