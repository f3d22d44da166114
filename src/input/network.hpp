// The key dispatcher of a server player: the local one's twin with running
// mode, follow mode, the Necromancer check and the party descent.
#pragma once

#include "world/game.hpp"
#include "world/inventory.hpp"

void handle_player_key(Game& game, char key, int player_number);

// A dialogue a key opened and left for the caller to finish: the server reads
// the answer without holding the game lock, then applies it.
struct OpenDialogue {
    bool shop = false;
    ShopOffer offer {};
};

// handle_player_key, except that the shop only draws its offer and is left
// open in open.
void handle_player_key(Game& game, char key, int player_number, OpenDialogue& open);

// Places every living others slot beside player 0 after a descent, on the map.
void place_others_beside_leader(Game& game);

// True when player 0 and every others slot in play (alive, not away) stand on
// the stairs.
bool all_players_on_stairs(const Game& game);
