// Arrows and stones: launching from an equipped Bow or Slingshot and flight one cell per turn.
#pragma once

#include "world/game.hpp"

void fire_projectile(Game& game, int dx, int dy, Player& p);
void update_projectiles(Game& game);
