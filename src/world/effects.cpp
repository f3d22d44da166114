// Timed effects run once per world step: mana regeneration, invisibility, flight.
#include "world/effects.hpp"

#include <algorithm>
#include <ctime>

#include "world/away.hpp"
#include "world/dungeon.hpp"

namespace {
constexpr std::time_t REGEN_INTERVAL = 120;
constexpr int REGEN_AMOUNT = 20;
constexpr const char* RESET = "\x1b[0m";
constexpr const char* YELLOW = "\x1b[33m";

// True when the player gained mana.
bool regenerate(Player& p)
{
    if (p.alive != 1 || !is_spell_caster(p.player_class) || p.mana >= p.max_mana)
        return false;
    long long room = static_cast<long long>(p.max_mana) - p.mana;
    int gain = static_cast<int>(std::min<long long>(REGEN_AMOUNT, room));
    p.mana += gain;
    set_message(p, "%sYou feel your magical energy restore (+%d mana)%s", "\x1b[96m", gain, RESET);
    return true;
}

// The fade pass is the only place that gives the normal colour back.
void fade(Player& p)
{
    if (p.invisible_turns <= 0)
        return;
    if (--p.invisible_turns == 0) {
        set_message(p, "%sYour invisibility fades...%s", YELLOW, RESET);
        copy_text(p.color, "\x1b[36m");
    }
}

void count_down(Player& p)
{
    if (p.invisible_turns > 0 && --p.invisible_turns == 0)
        set_message(p, "\x1b[33mYour %s wears off.\x1b[0m", "invisibility");
    if (p.flying_turns > 0 && --p.flying_turns == 0)
        set_message(p, "\x1b[33mYour %s wears off.\x1b[0m", "flying");
}
}  // namespace

void update_effects(Game& game)
{
    std::time_t now = std::time(nullptr);
    if (regen_clock() == 0) {
        set_regen_clock(now);
        return;
    }
    // An away player takes no turns: its timers and mana wait for its return.
    Player* active[MAX_PLAYERS] = {};
    int n = 0;
    for (int k = 0; k <= others_limit(game); ++k) {
        if (!player_away(game, k))
            active[n++] = player_by_number(game, k);
    }
    if (now - regen_clock() >= REGEN_INTERVAL) {
        bool any = false;
        for (int i = 0; i < n; ++i)
            any = regenerate(*active[i]) || any;
        // Without a regeneration the clock stays due, so the fade pass keeps
        // running on every call until some caster is below its maximum again.
        if (any)
            set_regen_clock(now);
        for (int i = 0; i < n; ++i)
            fade(*active[i]);
    }
    for (int i = 0; i < n; ++i)
        count_down(*active[i]);
}
