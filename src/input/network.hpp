// The key dispatcher of a server player: the local one's twin with running
// mode, follow mode, the Necromancer check and the party descent.
#pragma once

#include "world/game.hpp"
#include "world/inventory.hpp"

void handle_player_key(Game& game, char key, int player_number);

// Work a key started and left for the caller to finish: the server reads
// the shop's answer, and writes a save or reads the newest one, without
// holding the game lock, then applies the outcome.
struct OpenDialogue {
    bool shop = false;
    ShopOffer offer {};
    // 'S' and 'L' have shown "Saving game..." or "Loading game..." only.
    bool save = false;
    bool load = false;
};

// handle_player_key, except that the shop only draws its offer and 'S' and
// 'L' only start, each left open in open.
void handle_player_key(Game& game, char key, int player_number, OpenDialogue& open);

// Whether a key of this player would still reach the commands of the map
// (no prompt of theirs open, no manual ally control, alive and not away):
// checked again before a load read without the lock replaces the world.
bool takes_map_keys(const Game& game, int player_number);

// Places every living others slot beside player 0 after a descent, on the map.
void place_others_beside_leader(Game& game);

// True when player 0 and every others slot in play (alive, not away) stand on
// the stairs.
bool all_players_on_stairs(const Game& game);
