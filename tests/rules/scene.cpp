#include "rules/scene.hpp"

#include <cstdlib>

#include "world/items.hpp"

namespace scene {

Game& fresh()
{
    static Game g {};
    free_player_items(g);
    std::memset(&g, 0, sizeof g);
    for (auto& column : g.map) {
        for (Cell& c : column)
            c = Cell {'.', {}, 0, 0, 0, {}, TERRAIN_FLOOR};
    }
    g.controlled_ally = g.ally_controller = -1;
    Player& p = g.player;
    p.x = p.y = 10;
    p.alive = 1;
    p.attack = 5;
    p.hp = p.max_hp = 30;
    p.defense = 2;
    return g;
}

void wall(Game& g, int x, int y) { g.map[x][y] = Cell {'#', {}, 1, 0, 0, {}, TERRAIN_WALL}; }
void water(Game& g, int x, int y) { g.map[x][y] = Cell {'~', {}, 1, 0, 0, {}, TERRAIN_WATER}; }

Monster& monster(Game& g, int x, int y, int hp, int attack, int defense, int gold)
{
    Monster& m = g.monsters[g.monster_count++];
    m = Monster {x, y, 'o', {}, hp, hp, attack, defense, gold, 0, 0, 1, "\x1b[92m", 0, 0, 0};
    return m;
}

Monster& ally(Game& g, int x, int y, int hp, int attack)
{
    Monster& m = monster(g, x, y, hp, attack, 2, 0);
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
    return o;
}

Item* give(Player& p, int kind, int quantity, int value)
{
    for (Item*& slot : p.inventory) {
        if (!slot) {
            slot = create_item(kind);
            slot->quantity = quantity;
            slot->value = value;
            return slot;
        }
    }
    return nullptr;
}

void learn(Player& p, int id, const char* name, int cost, int power)
{
    Spell& s = p.spells[p.spell_count++];
    s = Spell {id, {}, cost, power, "\x1b[91m"};
    copy_text(s.name, name);
}

::testing::AssertionResult same(const Game& before, const Game& after)
{
    if (std::memcmp(&before, &after, sizeof after) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the record changed";
}

::testing::AssertionResult unchanged_but_messages(const Game& before, const Game& after)
{
    auto expected = snapshot(before);
    std::memcpy(expected->player.message, after.player.message, MESSAGE_LEN);
    for (int k = 0; k < MAX_OTHERS; ++k)
        std::memcpy(expected->others[k].message, after.others[k].message, MESSAGE_LEN);
    return same(*expected, after);
}

int draw(unsigned seed, int spread)
{
    std::srand(seed);
    int r = std::rand() % spread;
    std::srand(seed);
    return r;
}

}  // namespace scene
