// Character creation: the class dialogue on a descriptor and the class kits.
#pragma once

#include "world/game.hpp"

// Asks on fd for a class ('1'..'4') and equips that player number with the
// class's numbers, spells and kit. No answer or a wrong key leaves the record as it was.
void create_character(Game& game, int fd, int player_number);
