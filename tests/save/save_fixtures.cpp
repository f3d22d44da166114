#include "save/save_fixtures.hpp"

#include <algorithm>
#include <cstdlib>

#include "world/chat.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace save_test {

static void give(Player& p, int slot, int kind, int n = 1) { (p.inventory[slot] = create_item(kind))->quantity = n; }

void build_busy_game(Game& g, unsigned seed)
{
    reset_game(g);
    std::srand(seed);
    g.level = 3, generate_level(g), g.turn = 77;
    Player& p = g.player;
    p.hp = 23, p.max_hp = 30, p.attack = 4, p.gold = 55, p.mana = 9, p.max_mana = 20, p.player_class = CLASS_WIZARD;
    p.spells[p.spell_count++] = Spell { SPELL_FIREBALL, "Fireball", 5, 8, "\x1b[91m" };
    p.spells[p.spell_count++] = Spell { SPELL_HEAL, "Heal", 5, 8, "\x1b[91m" };
    give(p, 0, ITEM_SWORD), give(p, 3, ITEM_ARROWS, 137), give(p, 4, ITEM_LEATHER_ARMOR);
    p.weapon = p.inventory[0], p.armor = p.inventory[4];
    Player& o = g.others[g.other_count++];
    o.alive = 1, o.x = p.x + 1, o.y = p.y, o.glyph = '&', o.hp = 12, o.follow_target = 0;
    give(o, 0, ITEM_BOW);
    g.monsters[0].is_ally = 1, g.monsters[0].ally_turns = 20, g.monsters[0].ally_mode = ALLY_ATTACK;
    g.monsters[1].alive = 0;
    add_corpse(g, 5, 5, -2, 12, 3, 1), add_corpse(g, 6, 7, 0, 20, 5, 2);
    if (g.floor_item_count > 0)
        g.floor_items[0].x = g.floor_items[0].y = -1;  // picked up
    g.projectiles[2] = Projectile { 10, 4, 1, 0, '\'', {}, 3, 1, "\x1b[96m" };
    for (const char* line : { "hello", "anyone here?", "orc to the left", "run", "stairs found" })
        add_chat_message(g, "Ann", line);
}

void build_full_game(Game& g)
{
    build_busy_game(g);
    std::fill(g.monsters + g.monster_count, std::end(g.monsters), g.monsters[0]);
    std::fill(g.floor_items + g.floor_item_count, std::end(g.floor_items), g.floor_items[std::max(g.floor_item_count - 1, 0)]);
    g.monster_count = MAX_MONSTERS, g.floor_item_count = MAX_FLOOR_ITEMS;
    while (g.corpse_count < MAX_CORPSES)
        add_corpse(g, 8, 8, 0, 10, 2, 1);
    for (int k = 1; k < MAX_OTHERS; ++k)
        g.others[k] = g.others[0], g.others[k].inventory[0] = nullptr;
    g.other_count = MAX_OTHERS;
    for (int slot = 0; slot < INVENTORY_SLOTS; ++slot)
        if (!g.player.inventory[slot])
            give(g.player, slot, ITEM_HEALTH_POTION);
}

void build_full_world(Game& g)
{
    build_full_game(g);
    for (int k = 1; k < MAX_PLAYERS; ++k) {
        Player& o = *player_by_number(g, k);
        for (int slot = 0; slot < INVENTORY_SLOTS; ++slot)
            if (!o.inventory[slot])
                give(o, slot, slot == 0 ? ITEM_SWORD : slot % 2 ? ITEM_ARROWS : ITEM_HEAVY_ARMOR, 10 + slot);
        o.weapon = o.inventory[0], o.armor = o.inventory[2];
    }
    // As a loaded save leaves it: the last player's weapon is a block of its own.
    (g.others[2].weapon = create_item(ITEM_SLINGSHOT))->value = 4;
}

void reset_game(Game& g)
{
    for (int k = 0; k < MAX_PLAYERS; ++k)
        free_inventory(*player_by_number(g, k));
    std::memset(static_cast<void*>(&g), 0, sizeof g);
}

std::vector<std::size_t> copies_of(const std::string& file, std::size_t record_offset)
{
    constexpr std::size_t record = 16;
    auto count = [&](std::size_t field) {
        std::int32_t v = 0;
        return std::memcpy(&v, &file[record + field], 4), std::size_t(v);
    };
    // The blocks after the record in file order: the record field each repeats, and its length.
    const std::pair<std::size_t, std::size_t> blocks[] = {
        { offsetof(Game, map), sizeof(Game::map) },
        { offsetof(Game, monsters), sizeof(Monster) * count(offsetof(Game, monster_count)) },
        { offsetof(Game, floor_items), sizeof(Item) * count(offsetof(Game, floor_item_count)) },
        { offsetof(Game, projectiles), sizeof(Game::projectiles) },
        { offsetof(Game, stores), sizeof(Store) * count(offsetof(Game, store_count)) },
        { offsetof(Game, corpses), sizeof(Corpse) * count(offsetof(Game, corpse_count)) },
        { offsetof(Game, others), sizeof(Player) * count(offsetof(Game, other_count)) },
    };
    std::vector<std::size_t> at { record + record_offset };
    std::size_t pos = record + sizeof(Game);
    for (const auto& [field, len] : blocks) {
        if (record_offset >= field && record_offset < field + len)
            at.push_back(pos + record_offset - field);
        pos += len;
    }
    return at;
}

}  // namespace save_test
