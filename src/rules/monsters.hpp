// One action per monster slot: hostile monsters hunt players, allies serve the Necromancer.
#pragma once

#include "world/game.hpp"

void monsters_turn(Game& game);

// The living hostile monster nearest to (x, y); ties go to the lower slot.
Monster* nearest_hostile_monster(Game& game, int x, int y);
