// Level generation and the field of view. Every random quantity is one rand()
// call in a fixed order, so a given seed always builds the same level.
#pragma once

#include <ctime>

#include "world/game.hpp"

// Frees carried items, resets the per-level and per-player state and builds a
// new level of game.level (at least 1): map, 8 monsters, floor items, the shop,
// the stairs, then the field of view.
void generate_level(Game& game);

void generate_map(Game& game);
void spawn_monsters(Game& game);
void spawn_floor_items(Game& game);
void place_store(Game& game);
void place_stairs(Game& game);

// Recomputes visible (and explored) of every cell from all living players.
void update_visibility(Game& game);

// Wall-clock time of the last mana regeneration; set by generate_level.
std::time_t regen_clock();
void set_regen_clock(std::time_t t);
