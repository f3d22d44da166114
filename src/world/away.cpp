#include "world/away.hpp"

#include <atomic>
#include <utility>

namespace {
bool nobody_away(int) { return false; }

// Installed once before the server's threads start, read by all of them.
std::atomic<PlayerAwaySource> g_source { nobody_away };
}  // namespace

void set_player_away_source(PlayerAwaySource source) { g_source.store(source ? source : nobody_away); }

bool player_away(const Game& game, int player_number)
{
    if (&game != &server_game() || !player_by_number(game, player_number))
        return false;
    return g_source.load(std::memory_order_relaxed)(player_number);
}

bool player_away(const Game& game, const Player& p) { return player_away(game, player_number_of(game, p)); }

bool player_in_play(const Game& game, const Player& p) { return p.alive && !player_away(game, p); }

namespace {
void lead_or_follow(Player& p, int number)
{
    p.glyph = number == 0 ? '@' : '&';
    if (number == 0) {
        p.auto_follow = 0;
        p.follow_target = -1;
    }
}
}  // namespace

void exchange_players(Game& game, int a, int b)
{
    Player* pa = player_by_number(game, a);
    Player* pb = player_by_number(game, b);
    if (!pa || !pb || a == b)
        return;
    std::swap(*pa, *pb);
    lead_or_follow(*pa, a);
    lead_or_follow(*pb, b);
    if (game.ally_controller == a)
        game.ally_controller = b;
    else if (game.ally_controller == b)
        game.ally_controller = a;
}
