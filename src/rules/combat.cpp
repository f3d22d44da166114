#include "rules/combat.hpp"

#include "rules/rule_math.hpp"

namespace {
void leave_corpse(Game& game, const Monster& m)
{
    add_corpse(game, m.x, m.y, m.hp, m.max_hp, m.attack, m.defense);
}
}  // namespace

void player_attack(Game& game, Player& p, Monster& m)
{
    int damage = blow_damage(roll(5), total_attack(p), m.defense);
    lose_hp(m.hp, damage);
    set_message(p, "%sYou hit the %c for %d damage!%s", "\x1b[91m", m.glyph, damage, "\x1b[0m");
    if (m.hp > 0)
        return;
    set_message(p, "%sYou defeated the %c! You gain %d gold.%s", "\x1b[92m", m.glyph, m.gold, "\x1b[0m");
    add_clamped(p.gold, m.gold);
    // The slot stays counted; only Animate Dead hands a dead slot out again.
    m.alive = 0;
    leave_corpse(game, m);
}

namespace {
PlayerKilledWatch g_killed_watch = nullptr;
}  // namespace

void set_player_killed_watch(PlayerKilledWatch watch) { g_killed_watch = watch; }

void monster_attack(Game& game, Monster& m, Player& p)
{
    int damage = blow_damage(roll(3), m.attack, total_defense(p));
    lose_hp(p.hp, damage);
    set_message(p, "%sThe %c attacks you for %d damage!%s", "\x1b[31m", m.glyph, damage, "\x1b[0m");
    if (p.hp >= 1)
        return;
    p.hp = 0;
    p.alive = 0;
    if (g_killed_watch)
        g_killed_watch(game, p, m);
    set_message(p, "%sYou have been defeated by the %c! Press 'q' to quit.%s", "\x1b[91m", m.glyph,
                "\x1b[0m");
}

void ally_strike(Game& game, Monster& ally, Monster& target, int spread)
{
    int damage = blow_damage(roll(spread), ally.attack, target.defense);
    lose_hp(target.hp, damage);
    if (target.hp > 0)
        return;
    target.alive = 0;
    leave_corpse(game, target);
}
