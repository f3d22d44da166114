// Stand-ins until the game loops land; each is removed from here when its
// real definition is added.
#include "input/local.hpp"
#include "input/network.hpp"
#include "term/term.hpp"

void run_local_game(Game& game)
{
    write_all(1, "Local play is not available yet.\n");
    game.player.alive = 0;
}
void handle_local_key(Game&, char) {}
void world_step(Game&) {}
void handle_player_key(Game&, char, int) {}
void place_others_beside_leader(Game&) {}
bool all_players_on_stairs(const Game&) { return false; }
