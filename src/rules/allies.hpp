// Commanding allies: the ally menu, manual control and steering one ally.
#pragma once

#include "world/game.hpp"

// Steps monster slot by (dx, dy); a hostile monster in the way is struck. No turn.
void move_ally(Game& game, int slot, int dx, int dy);

// Passes manual control to the next living ally after controlled_ally.
void select_next_ally(Game& game, Player& p);

// Living monsters with is_ally set below monster_count.
int count_living_allies(const Game& game);

// 'a': opens the ally menu when an ally lives (the caller checks the class where it must).
void open_ally_menu(Game& game, Player& p);

// '1'..'4' while the menu is open, for the commanding player's number.
void ally_menu_key(Game& game, Player& p, int player_number, char key);

// A key during manual control: steering digits, 'p', 'm', ESC or space.
void manual_ally_key(Game& game, Player& p, char key);

// True while an ally is steered by hand (controlled_ally set, mode 3).
bool manual_control_active(const Game& game);
