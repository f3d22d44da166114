// The spell menu and the six spells.
#pragma once

#include "world/game.hpp"

// A key while p.choosing_spell is set.
void choose_spell(Game& game, char key, Player& p);

// Casts the spell with that id at (x, y) when the caster knows it.
void cast_spell(Game& game, int spell_id, int x, int y, Player& p);

// 0 for a living `player` at (x, y), k + 1 for the first living others[k],
// else -1; a player who is away is not found.
int find_player_at(Game& game, int x, int y);

// Where the names of server players come from (the chat names of the client
// tables); local play has none and names are then empty.
using PlayerNameSource = const char* (*)(int player_number);
void set_player_name_source(PlayerNameSource source);
