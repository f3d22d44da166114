// Level generation: the reset of a game record for a new level and the random
// build of its map, monsters, floor items, shop and stairs.
#include "world/dungeon.hpp"

#include <algorithm>
#include <cstdlib>

#include "world/items.hpp"

namespace {
std::time_t g_regen_clock = 0;

constexpr int MONSTERS_PER_LEVEL = 8;
constexpr int START_X = 30;
constexpr int START_Y = 10;
constexpr const char* PLAYER_COLOR = "\x1b[36m";

// a * level + b, held to the int range: a loaded record may carry any level.
int scaled(int a, int level, int b) { return clamp_to_int(static_cast<long long>(a) * level + b); }

struct Square {
    int x;
    int y;
};

bool is_free(const Game& game, int x, int y)
{
    return !cell_at(game, x, y).blocked && !(x == game.player.x && y == game.player.y);
}

// The random draw is the level's reproducible part, so it runs exactly as the
// server's first level expects. Only a map without a single free square (which
// no generated map is) would exhaust the draws; the scan then keeps the
// search from spinning forever.
Square random_square(const Game& game)
{
    for (int attempt = 0; attempt < 1000000; ++attempt) {
        int x = std::rand() % MAP_WIDTH;
        int y = std::rand() % MAP_HEIGHT;
        if (is_free(game, x, y))
            return { x, y };
    }
    for (int x = 0; x < MAP_WIDTH; ++x) {
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            if (is_free(game, x, y))
                return { x, y };
        }
    }
    return { game.player.x, game.player.y };
}

void set_cell(Cell& c, char glyph, Terrain terrain, int blocked, const char* color)
{
    c.glyph = glyph;
    c.terrain = terrain;
    c.blocked = blocked;
    copy_text(c.color, color);
    c.visible = 0;
    c.explored = 0;
}

void fill_item(Item& item, int kind, const char* name, char glyph, int value, int quantity,
               const char* color)
{
    item = Item {};
    item.kind = kind;
    copy_text(item.name, name);
    item.glyph = glyph;
    item.value = value;
    item.quantity = quantity;
    copy_text(item.color, color);
    item.x = -1;
    item.y = -1;
}

// Each branch draws its extra rand() only after the kind roll, in this order.
void roll_floor_item(Item& item)
{
    int r = std::rand() % 100;
    if (r < 10) {
        fill_item(item, ITEM_HEALTH_POTION, "Health Potion", '!', 10, 1, "\x1b[31m");
    } else if (r < 20) {
        fill_item(item, ITEM_GOLD_COIN, "Gold Coin", '$', std::rand() % 10 + 1, 1, "\x1b[33m");
    } else if (r < 95) {
        fill_item(item, ITEM_ARROWS, "Arrows", '\'', 1, std::rand() % 10 + 10, "\x1b[96m");
    } else if (r < 99) {
        fill_item(item, ITEM_STONES, "Stones", '`', 1, std::rand() % 15 + 15, "\x1b[90m");
    } else {
        fill_item(item, ITEM_CANOE, "Canoe", 'O', 150, 1, "\x1b[93m");
    }
}

void reset_game_state(Game& game)
{
    game.ally_menu = 0;
    game.skip_key = 0;
    game.reserved_a = 0;
    game.reserved_b = 0;
    game.teleport_pending = 0;
    game.ally_control_mode = 0;
    game.wizard_mode = 0;
    game.other_count = 0;
    game.corpse_count = 0;
    game.reserved_c = -1;
    game.controlled_ally = -1;
    game.ally_controller = -1;
}

void clear_carried(Player& p)
{
    for (Item*& slot : p.inventory)
        slot = nullptr;
    p.weapon = nullptr;
    p.armor = nullptr;
}

// Health, attack, mana, class and spells survive a new level; position,
// equipment, defense and every open prompt do not.
void reset_leader(Player& p)
{
    p.x = START_X;
    p.y = START_Y;
    p.glyph = '@';
    copy_text(p.color, PLAYER_COLOR);
    p.alive = 1;
    p.defense = 0;
    if (p.gold < 0)
        p.gold = 0;
    clear_carried(p);
    p.aiming = 0;
    p.choosing_spell = 0;
    p.choosing_item = 0;
    p.running = 0;
    p.invisible_turns = 0;
    p.flying_turns = 0;
    p.selected_spell = -1;
    copy_text(p.message, "Welcome to the Dungeon! Press '?' for help.");
}

void reset_other(Player& p)
{
    p.gold = 0;
    p.mana = 0;
    p.flying_turns = 0;
    clear_carried(p);
    p.alive = 0;
    p.aiming = 0;
    p.choosing_spell = 0;
    p.choosing_item = 0;
    p.selected_spell = -1;
    p.message[0] = '\0';
}
}  // namespace

std::time_t regen_clock() { return g_regen_clock; }
void set_regen_clock(std::time_t t) { g_regen_clock = t; }

void generate_level(Game& game)
{
    // Items go first, while other_count still says whose items exist.
    free_player_items(game);
    game.turn = 0;
    if (game.level < 1)
        game.level = 1;
    set_regen_clock(std::time(nullptr));
    reset_game_state(game);
    reset_leader(game.player);
    for (Player& p : game.others)
        reset_other(p);
    for (Monster& m : game.monsters)
        m.ally_mode = ALLY_FOLLOW;
    generate_map(game);
    spawn_monsters(game);
    spawn_floor_items(game);
    place_store(game);
    place_stairs(game);
    update_visibility(game);
}

void generate_map(Game& game)
{
    for (int x = 0; x < MAP_WIDTH; ++x) {
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            Cell& c = cell_at(game, x, y);
            if (x == 0 || x == MAP_WIDTH - 1 || y == 0 || y == MAP_HEIGHT - 1) {
                set_cell(c, '#', TERRAIN_WALL, 1, "\x1b[33m");
                continue;
            }
            int r = std::rand() % 100;
            if (r < 85)
                set_cell(c, '.', TERRAIN_FLOOR, 0, "\x1b[90m");
            else if (r < 92)
                set_cell(c, ',', TERRAIN_GRASS, 0, "\x1b[92m");
            else if (r < 97)
                set_cell(c, '~', TERRAIN_WATER, 1, "\x1b[94m");
            else
                set_cell(c, ':', TERRAIN_SHALLOWS, 0, "\x1b[94m");
        }
    }
}

void spawn_monsters(Game& game)
{
    game.monster_count = 0;
    for (Monster& m : game.monsters) {
        m.alive = 0;
        m.is_ally = 0;
        m.ally_turns = 0;
        m.reserved2 = 0;
    }
    static constexpr struct {
        char glyph;
        const char* color;
    } LOOKS[3] = { { 'o', "\x1b[92m" }, { 's', "\x1b[33m" }, { 'Z', "\x1b[35m" } };
    int level = game.level;
    for (int i = 0; i < MONSTERS_PER_LEVEL && game.monster_count < MAX_MONSTERS; ++i) {
        Square sq = random_square(game);
        Monster& m = game.monsters[game.monster_count++];
        m.x = sq.x;
        m.y = sq.y;
        m.alive = 1;
        m.hp = scaled(5, level, 20);
        m.max_hp = m.hp;
        m.attack = scaled(2, level, 5);
        m.defense = scaled(1, level, 1);
        m.gold = scaled(2, level, 5);
        m.is_ally = 0;
        m.ally_mode = 0;
        const auto& look = LOOKS[std::rand() % 3];
        m.glyph = look.glyph;
        copy_text(m.color, look.color);
    }
}

void spawn_floor_items(Game& game)
{
    game.floor_item_count = 0;
    for (Item& item : game.floor_items)
        item = Item {};
    if (game.level < 1)
        return;
    // 2 * level can only exceed the array for deep levels; the array bounds it.
    long long wanted = 2LL * game.level;
    for (long long placed = 0; placed < wanted && game.floor_item_count < MAX_FLOOR_ITEMS;
         ++placed) {
        Square sq = random_square(game);
        Item& item = game.floor_items[game.floor_item_count++];
        roll_floor_item(item);
        item.x = sq.x;
        item.y = sq.y;
    }
}

void place_store(Game& game)
{
    game.store_count = 0;
    Square sq = random_square(game);
    Store& store = game.stores[game.store_count++];
    store = Store {};
    store.x = sq.x;
    store.y = sq.y;
    store.stock_count = STORE_STOCK;
    fill_item(store.stock[0], ITEM_HEALTH_POTION, "Health Potion", '!', 25, 1, "\x1b[31m");
    if (std::rand() % 2 == 1) {
        fill_item(store.stock[1], ITEM_SLINGSHOT, "Slingshot", '(', 30, 1, "\x1b[94m");
        fill_item(store.stock[2], ITEM_STONES, "Pouch of Stones", '`', 10, 1, "\x1b[90m");
    } else {
        fill_item(store.stock[1], ITEM_BOW, "Bow", ')', 60, 1, "\x1b[32m");
        fill_item(store.stock[2], ITEM_ARROWS, "Bundle of Arrows", '\'', 15, 1, "\x1b[96m");
    }
}

void place_stairs(Game& game)
{
    Square sq = random_square(game);
    game.stairs_x = sq.x;
    game.stairs_y = sq.y;
    Cell& c = cell_at(game, sq.x, sq.y);
    c.glyph = '>';
    copy_text(c.color, "\x1b[94m");
}
