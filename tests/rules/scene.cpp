#include "rules/scene.hpp"

#include <cstdlib>
#include <memory>

#include "world/items.hpp"

namespace scene {

Game& fresh()
{
    static Game g {};
    free_player_items(g);
    std::memset(&g, 0, sizeof g);
    for (int x = 0; x < MAP_WIDTH; ++x) {
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            g.map[x][y].glyph = '.';
            g.map[x][y].terrain = TERRAIN_FLOOR;
        }
    }
    g.level = 1;
    g.controlled_ally = -1;
    g.ally_controller = -1;
    Player& p = g.player;
    p.x = 10;
    p.y = 10;
    p.alive = 1;
    p.hp = p.max_hp = 30;
    p.attack = 5;
    p.defense = 2;
    p.selected_spell = -1;
    p.follow_target = -1;
    return g;
}

void wall(Game& g, int x, int y) { g.map[x][y] = Cell {'#', {}, 1, 0, 0, {}, TERRAIN_WALL}; }
void water(Game& g, int x, int y) { g.map[x][y] = Cell {'~', {}, 1, 0, 0, {}, TERRAIN_WATER}; }

Monster& monster(Game& g, int x, int y, int hp, int attack, int defense, int gold)
{
    Monster& m = g.monsters[g.monster_count++];
    m = Monster {};
    m.x = x;
    m.y = y;
    m.glyph = 'o';
    m.hp = m.max_hp = hp;
    m.attack = attack;
    m.defense = defense;
    m.gold = gold;
    m.alive = 1;
    copy_text(m.color, "\x1b[92m");
    return m;
}

Monster& ally(Game& g, int x, int y, int hp, int attack, int defense)
{
    Monster& m = monster(g, x, y, hp, attack, defense, 0);
    m.glyph = 'z';
    m.is_ally = 1;
    m.ally_turns = 200;
    m.ally_mode = ALLY_FOLLOW;
    return m;
}

Player& other(Game& g, int x, int y)
{
    Player& o = g.others[g.other_count++];
    o.x = x;
    o.y = y;
    o.alive = 1;
    o.hp = o.max_hp = 30;
    o.follow_target = -1;
    o.selected_spell = -1;
    return o;
}

Item* give(Player& p, int kind, int quantity)
{
    for (Item*& slot : p.inventory) {
        if (!slot) {
            slot = create_item(kind);
            slot->quantity = quantity;
            return slot;
        }
    }
    return nullptr;
}

Item* weapon(Player& p, int kind, int value)
{
    p.weapon = give(p, kind);
    p.weapon->value = value;
    return p.weapon;
}

Item* armor(Player& p, int value)
{
    p.armor = give(p, ITEM_LEATHER_ARMOR);
    p.armor->value = value;
    return p.armor;
}

void learn(Player& p, int id, const char* name, int cost, int power)
{
    Spell& s = p.spells[p.spell_count++];
    s.id = id;
    copy_text(s.name, name);
    s.mana_cost = cost;
    s.power = power;
    copy_text(s.color, "\x1b[91m");
}

::testing::AssertionResult unchanged_but_messages(const Game& before, const Game& after)
{
    auto expected = std::make_unique<Game>(before);
    std::memcpy(expected->player.message, after.player.message, MESSAGE_LEN);
    for (int k = 0; k < MAX_OTHERS; ++k)
        std::memcpy(expected->others[k].message, after.others[k].message, MESSAGE_LEN);
    if (std::memcmp(expected.get(), &after, sizeof after) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the record changed beyond the message lines";
}

int draw(unsigned seed, int spread)
{
    std::srand(seed);
    int r = std::rand() % spread;
    std::srand(seed);
    return r;
}

}  // namespace scene
