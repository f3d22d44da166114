// Timed effects run once per world step: mana regeneration, invisibility, flight.
#pragma once

#include "world/game.hpp"

void update_effects(Game& game);
