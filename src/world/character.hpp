// Character creation: the class dialogue on a descriptor and the class kits.
#pragma once

#include <string>

#include "world/game.hpp"

// Asks on fd for a class ('1'..'4') and equips that player number with the
// class's numbers, spells and kit. No answer or a wrong key leaves the record as it was.
void create_character(Game& game, int fd, int player_number);

// The class dialogue in two steps, for a caller that reads the answer itself:
// the menu text as create_character shows it (after a clear screen), and the
// choice applied as create_character applies the first byte of the answer.
// False when the key names no class or the player number nobody.
std::string class_menu_text();
bool apply_class_choice(Game& game, int player_number, int key);
