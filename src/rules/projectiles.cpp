#include "rules/projectiles.hpp"

#include "rules/rule_math.hpp"
#include "world/items.hpp"

namespace {
struct Launcher {
    int ammunition_kind;
    const char* ammunition_name;
    char glyph;
};

bool launcher_of(const Item* weapon, Launcher& out)
{
    if (!weapon)
        return false;
    if (weapon->kind == ITEM_BOW)
        out = {ITEM_ARROWS, "Arrows", '-'};
    else if (weapon->kind == ITEM_SLINGSHOT)
        out = {ITEM_STONES, "Stones", '^'};
    else
        return false;
    return true;
}

// Only the first stack of the kind counts, even when it is empty.
Item** first_stack(Player& p, int kind)
{
    for (Item*& slot : p.inventory) {
        if (slot && slot->kind == kind)
            return &slot;
    }
    return nullptr;
}

Projectile* free_projectile(Game& game)
{
    for (Projectile& shot : game.projectiles) {
        if (!shot.active)
            return &shot;
    }
    return nullptr;
}

void use_one(Player& p, Item*& slot)
{
    --slot->quantity;
    if (slot->quantity > 0)
        return;
    if (p.armor == slot)
        p.armor = nullptr;
    destroy_item(slot);
    slot = nullptr;
}

// Messages and gold of every hit go to player number 0: a shot does not know its archer.
void strike(Game& game, Projectile& shot, Monster& m)
{
    int damage = blow_damage(0, shot.damage, m.defense);
    lose_hp(m.hp, damage);
    shot.active = 0;
    Player& p = game.player;
    if (m.hp > 0) {
        set_message(p, "%sProjectile hits the %c for %d damage!%s", "\x1b[94m", m.glyph, damage,
                    "\x1b[0m");
        return;
    }
    set_message(p, "%sProjectile kills the %c!%s", "\x1b[91m", m.glyph, "\x1b[0m");
    add_clamped(p.gold, m.gold);
    m.alive = 0;
    add_corpse(game, m.x, m.y, m.hp, m.max_hp, m.attack, m.defense);
}

void advance(Game& game, Projectile& shot)
{
    int nx = 0;
    int ny = 0;
    if (!cell_on_map(shot.x, shot.y, shot.dx, shot.dy, nx, ny) || cell_at(game, nx, ny).blocked) {
        shot.active = 0;
        return;
    }
    Monster* m = first_monster_at(game, nx, ny);
    if (m && !m->is_ally) {
        strike(game, shot, *m);
        return;
    }
    // Allies and players are flown through.
    shot.x = nx;
    shot.y = ny;
}
}  // namespace

void fire_projectile(Game& game, int dx, int dy, Player& p)
{
    Launcher launcher {};
    if (!launcher_of(p.weapon, launcher)) {
        set_message(p, "%sYou need to equip a Bow or Slingshot to fire a projectile.%s", "\x1b[31m",
                    "\x1b[0m");
        return;
    }
    Item** stack = first_stack(p, launcher.ammunition_kind);
    if (!stack || (*stack)->quantity <= 0) {
        set_message(p, "%sYou are out of %s.%s", "\x1b[31m", launcher.ammunition_name, "\x1b[0m");
        return;
    }
    Projectile* shot = free_projectile(game);
    if (!shot) {
        set_message(p, "%sToo many projectiles already active!%s", "\x1b[31m", "\x1b[0m");
        return;
    }
    shot->x = p.x;
    shot->y = p.y;
    // Only the direction of the aim counts, not the cell aimed at.
    shot->dx = sign_of(dx);
    shot->dy = sign_of(dy);
    shot->glyph = launcher.glyph;
    shot->damage = clamp_to_int(static_cast<long long>(p.weapon->value) + 15);
    shot->active = 1;
    copy_text(shot->color, "\x1b[96m");
    use_one(p, *stack);
    set_message(p, "%sYou fire a projectile.%s", "\x1b[94m", "\x1b[0m");
    count_turn(game);
}

void update_projectiles(Game& game)
{
    for (Projectile& shot : game.projectiles) {
        if (shot.active)
            advance(game, shot);
    }
}
