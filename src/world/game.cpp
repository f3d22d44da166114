#include "world/game.hpp"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "term/term.hpp"

namespace {
Game g_local_game;
Game g_server_game;

int held_to(int count, int max) { return std::clamp(count, 0, max); }
}  // namespace

Game& local_game() { return g_local_game; }
Game& server_game() { return g_server_game; }

int cell_blocked(const Game& game, int x, int y)
{
    if (!in_bounds(x, y))
        return 1;
    return cell_at(game, x, y).blocked;
}

Player* player_by_number(Game& game, int number)
{
    if (number == 0)
        return &game.player;
    if (number >= 1 && number <= MAX_OTHERS)
        return &game.others[number - 1];
    return nullptr;
}

const Player* player_by_number(const Game& game, int number)
{
    return player_by_number(const_cast<Game&>(game), number);
}

int player_number_of(const Game& game, const Player& p)
{
    if (&p == &game.player)
        return 0;
    for (int k = 0; k < MAX_OTHERS; ++k) {
        if (&p == &game.others[k])
            return k + 1;
    }
    return -1;
}

int monster_limit(const Game& game) { return held_to(game.monster_count, MAX_MONSTERS); }
int others_limit(const Game& game) { return held_to(game.other_count, MAX_OTHERS); }
int floor_item_limit(const Game& game) { return held_to(game.floor_item_count, MAX_FLOOR_ITEMS); }
int corpse_limit(const Game& game) { return held_to(game.corpse_count, MAX_CORPSES); }
int store_limit(const Game& game) { return held_to(game.store_count, MAX_STORES); }
int spell_limit(const Player& p) { return held_to(p.spell_count, MAX_SPELLS); }

int total_attack(const Player& p)
{
    return clamp_to_int(static_cast<long long>(p.attack) + (p.weapon ? p.weapon->value : 0));
}

int total_defense(const Player& p)
{
    return clamp_to_int(static_cast<long long>(p.defense) + (p.armor ? p.armor->value : 0));
}

bool monster_at(const Game& game, int x, int y)
{
    return first_monster_at(const_cast<Game&>(game), x, y) != nullptr;
}

Monster* first_monster_at(Game& game, int x, int y)
{
    int n = monster_limit(game);
    for (int i = 0; i < n; ++i) {
        Monster& m = game.monsters[i];
        if (m.alive && m.x == x && m.y == y)
            return &m;
    }
    return nullptr;
}

Corpse* find_corpse_at(Game& game, int x, int y)
{
    int n = corpse_limit(game);
    for (int i = 0; i < n; ++i) {
        if (game.corpses[i].x == x && game.corpses[i].y == y)
            return &game.corpses[i];
    }
    return nullptr;
}

void add_corpse(Game& game, int x, int y, int hp, int max_hp, int attack, int defense)
{
    if (game.corpse_count < 0 || game.corpse_count >= MAX_CORPSES)
        return;
    Corpse& c = game.corpses[game.corpse_count++];
    c.x = x;
    c.y = y;
    c.glyph = '%';
    c.hp = hp;
    c.max_hp = max_hp;
    c.attack = attack;
    c.defense = defense;
}

void set_message(Player& p, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(p.message, sizeof p.message, format, args);
    va_end(args);
}

namespace {
std::atomic<std::uint64_t> g_turns_counted { 0 };
}  // namespace

void count_turn(Game& game)
{
    add_clamped(game.turn, 1);
    g_turns_counted.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t turns_counted() { return g_turns_counted.load(std::memory_order_relaxed); }
