// The checks a record read from a file passes before any game uses it.
#include "save/checks.hpp"

#include "term/term.hpp"
#include "world/items.hpp"

namespace {
bool item_text_ok(const Item& item) { return terminated(item.name) && terminated(item.color); }

bool player_ok(const Player& p)
{
    if (p.spell_count < 0 || p.spell_count > MAX_SPELLS)
        return false;
    if (p.follow_target < -1 || p.follow_target >= MAX_PLAYERS)
        return false;
    if (!terminated(p.color) || !terminated(p.message))
        return false;
    for (const Spell& s : p.spells) {
        if (!terminated(s.name) || !terminated(s.color))
            return false;
    }
    return true;
}

bool map_and_texts_ok(const Game& g)
{
    for (const auto& column : g.map) {
        for (const Cell& c : column) {
            if (!terminated(c.color))
                return false;
        }
    }
    for (const Monster& m : g.monsters) {
        if (!terminated(m.color))
            return false;
    }
    for (const Projectile& pr : g.projectiles) {
        if (!terminated(pr.color))
            return false;
    }
    for (const Item& item : g.floor_items) {
        if (!item_text_ok(item))
            return false;
    }
    for (const Store& s : g.stores) {
        for (const Item& item : s.stock) {
            if (!item_text_ok(item))
                return false;
        }
    }
    for (const auto& line : g.chat_lines) {
        if (!terminated(line))
            return false;
    }
    return true;
}

bool players_ok(const Game& g)
{
    if (!player_ok(g.player))
        return false;
    for (const Player& o : g.others) {
        if (!player_ok(o))
            return false;
    }
    // Only the players in play stand on the map; a closed slot may hold anything.
    for (int k = 0; k <= g.other_count; ++k) {
        const Player& p = *player_by_number(g, k);
        if (p.alive && !in_bounds(p.x, p.y))
            return false;
    }
    return true;
}

bool placed_things_ok(const Game& g)
{
    for (int i = 0; i < g.monster_count; ++i) {
        const Monster& m = g.monsters[i];
        if (m.alive && !in_bounds(m.x, m.y))
            return false;
    }
    for (int i = 0; i < g.floor_item_count; ++i) {
        const Item& item = g.floor_items[i];
        if (item.x == -1)
            continue;  // picked up: nothing reads it any more
        if (!in_bounds(item.x, item.y) || !is_item_kind(item.kind))
            return false;
    }
    for (int i = 0; i < g.store_count; ++i) {
        const Store& s = g.stores[i];
        if (!in_bounds(s.x, s.y) || s.stock_count < 0 || s.stock_count > STORE_STOCK)
            return false;
        for (int k = 0; k < s.stock_count; ++k) {
            if (!is_item_kind(s.stock[k].kind))
                return false;
        }
    }
    // Animate Dead raises its undead on the corpse's square.
    for (int i = 0; i < g.corpse_count; ++i) {
        if (!in_bounds(g.corpses[i].x, g.corpses[i].y))
            return false;
    }
    return in_bounds(g.stairs_x, g.stairs_y);
}

bool game_state_ok(const Game& g)
{
    if (g.chat_count < 0)
        return false;
    if (g.ally_controller < -1 || g.ally_controller >= MAX_PLAYERS)
        return false;
    if (g.controlled_ally != -1 && (g.controlled_ally < 0 || g.controlled_ally >= g.monster_count))
        return false;
    // A pending teleport would put a player on its target square.
    if (g.teleport_pending && !in_bounds(g.teleport_x, g.teleport_y))
        return false;
    return true;
}

}  // namespace

bool counts_in_range(const Game& g)
{
    return g.monster_count >= 0 && g.monster_count <= MAX_MONSTERS && g.floor_item_count >= 0
        && g.floor_item_count <= MAX_FLOOR_ITEMS && g.store_count >= 0
        && g.store_count <= MAX_STORES && g.corpse_count >= 0 && g.corpse_count <= MAX_CORPSES
        && g.other_count >= 0 && g.other_count <= MAX_OTHERS;
}

bool loaded_game_ok(const Game& g)
{
    return counts_in_range(g) && game_state_ok(g) && players_ok(g) && placed_things_ok(g) && map_and_texts_ok(g);
}

bool loaded_item_ok(const Item& item) { return is_item_kind(item.kind) && item_text_ok(item); }
