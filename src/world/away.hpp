// Players out of play: a server seat held for a player whose link is gone.
// The seat table belongs to the server; the rules only ask, through a source
// the server installs, and only about the server's shared record.
#pragma once

#include "world/game.hpp"

// True when player_number's seat is held without a connection. Called with
// game_mutex held, like every rule.
using PlayerAwaySource = bool (*)(int player_number);
void set_player_away_source(PlayerAwaySource source);

// An away player stays on its cell and takes no turns; monsters, projectiles
// and spells pass it by and it never holds up the party. Always false for any
// record but server_game(): local play and saves know nothing of seats.
bool player_away(const Game& game, int player_number);
bool player_away(const Game& game, const Player& p);

// Alive and not away: the players the world acts on and reacts to.
bool player_in_play(const Game& game, const Player& p);

// Exchanges the records of player numbers a and b, so that a player in play
// can take the lead from an away leader. Each number keeps its glyph ('@' for
// the leader, '&' for the others); whoever becomes the leader stops following,
// and ally_controller goes with its player.
void exchange_players(Game& game, int a, int b);
