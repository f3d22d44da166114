// The world of one game in one fixed-size record, and the small operations on it.
// The record is written to save files byte for byte, so every layout here is a file format.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

constexpr int MAP_WIDTH = 60;
constexpr int MAP_HEIGHT = 20;
constexpr int MAX_PLAYERS = 4;
constexpr int MAX_OTHERS = MAX_PLAYERS - 1;
constexpr int MAX_MONSTERS = 60;
constexpr int MAX_PROJECTILES = 5;
constexpr int MAX_FLOOR_ITEMS = 40;
constexpr int MAX_STORES = 1;
constexpr int STORE_STOCK = 3;
constexpr int MAX_CORPSES = 10;
constexpr int INVENTORY_SLOTS = 10;
constexpr int MAX_SPELLS = 5;
constexpr int MESSAGE_LEN = 256;
constexpr int CHAT_LINES = 4;
constexpr int CHAT_LINE_LEN = 256;
constexpr int COLOR_LEN = 20;
constexpr int ITEM_NAME_LEN = 50;
constexpr int SPELL_NAME_LEN = 52;

enum Terrain : std::int32_t {
    TERRAIN_WALL = 0,
    TERRAIN_FLOOR = 1,
    TERRAIN_GRASS = 2,
    TERRAIN_WATER = 3,
    TERRAIN_SHALLOWS = 4,
};

enum PlayerClass : std::int32_t {
    CLASS_FIGHTER = 0,
    CLASS_WIZARD = 1,
    CLASS_ROGUE = 2,
    CLASS_NECROMANCER = 3,
};

enum SpellId : std::int32_t {
    SPELL_FIREBALL = 0,
    SPELL_HEAL = 1,
    SPELL_ANIMATE_DEAD = 2,
    SPELL_POSSESS_ENEMY = 3,
    SPELL_INVISIBILITY = 4,
    SPELL_FLIGHT = 5,
};

// Kinds 7, 8 and 11 are gaps in the catalogue: no item of those kinds exists.
enum ItemKind : std::int32_t {
    ITEM_SWORD = 0,
    ITEM_BOW = 1,
    ITEM_SLINGSHOT = 2,
    ITEM_HEALTH_POTION = 3,
    ITEM_GOLD_COIN = 4,
    ITEM_LEATHER_ARMOR = 5,
    ITEM_HEAVY_ARMOR = 6,
    ITEM_ARROWS = 9,
    ITEM_STONES = 10,
    ITEM_STAFF = 12,
    ITEM_FOOD = 13,
    ITEM_SALVE = 14,
    ITEM_CANOE = 15,
};

enum AllyMode : std::int32_t {
    ALLY_FOLLOW = 1,
    ALLY_ATTACK = 2,
    ALLY_MANUAL = 3,
};

struct Cell {
    char glyph;
    char pad_glyph[3];
    std::int32_t blocked;
    std::int32_t visible;
    std::int32_t explored;
    char color[COLOR_LEN];
    std::int32_t terrain;
};

struct Spell {
    std::int32_t id;
    char name[SPELL_NAME_LEN];
    std::int32_t mana_cost;
    std::int32_t power;
    char color[COLOR_LEN];
};

struct Item {
    std::int32_t kind;
    char name[ITEM_NAME_LEN];
    char glyph;
    char pad_glyph;
    std::int32_t value;
    std::int32_t quantity;
    char color[COLOR_LEN];
    std::int32_t x;
    std::int32_t y;
};

// `class` is a C++ keyword, so the class field is called player_class.
struct Player {
    std::int32_t x;
    std::int32_t y;
    char glyph;
    char pad_glyph[3];
    std::int32_t hp;
    std::int32_t max_hp;
    std::int32_t attack;
    std::int32_t defense;
    std::int32_t gold;
    Item* inventory[INVENTORY_SLOTS];
    Item* weapon;
    Item* armor;
    std::int32_t alive;
    char color[COLOR_LEN];
    std::int32_t max_mana;
    std::int32_t mana;
    std::int32_t player_class;
    Spell spells[MAX_SPELLS];
    std::int32_t spell_count;
    std::int32_t aiming;
    std::int32_t cursor_x;
    std::int32_t cursor_y;
    std::int32_t choosing_spell;
    std::int32_t selected_spell;
    std::int32_t choosing_item;
    char message[MESSAGE_LEN];
    std::int32_t running;
    std::int32_t follow_target;
    std::int32_t auto_follow;
    std::int32_t invisible_turns;
    std::int32_t flying_turns;
};

struct Monster {
    std::int32_t x;
    std::int32_t y;
    char glyph;
    char pad_glyph[3];
    std::int32_t hp;
    std::int32_t max_hp;
    std::int32_t attack;
    std::int32_t defense;
    std::int32_t gold;
    std::int32_t reserved1;
    std::int32_t reserved2;
    std::int32_t alive;
    char color[COLOR_LEN];
    std::int32_t is_ally;
    std::int32_t ally_turns;
    std::int32_t ally_mode;
};

struct Projectile {
    std::int32_t x;
    std::int32_t y;
    std::int32_t dx;
    std::int32_t dy;
    char glyph;
    char pad_glyph[3];
    std::int32_t damage;
    std::int32_t active;
    char color[COLOR_LEN];
};

struct Store {
    Item stock[STORE_STOCK];
    std::int32_t stock_count;
    std::int32_t x;
    std::int32_t y;
};

struct Corpse {
    std::int32_t x;
    std::int32_t y;
    char glyph;
    char pad_glyph[3];
    std::int32_t hp;
    std::int32_t max_hp;
    std::int32_t attack;
    std::int32_t defense;
};

struct Game {
    Cell map[MAP_WIDTH][MAP_HEIGHT];  // column x first: map[x][y]
    Player player;
    Player others[MAX_OTHERS];
    std::int32_t other_count;
    Monster monsters[MAX_MONSTERS];
    std::int32_t monster_count;
    Projectile projectiles[MAX_PROJECTILES];
    Item floor_items[MAX_FLOOR_ITEMS];
    std::int32_t floor_item_count;
    Store stores[MAX_STORES];
    std::int32_t store_count;
    Corpse corpses[MAX_CORPSES];
    std::int32_t corpse_count;
    std::int32_t turn;
    std::int32_t level;
    std::int32_t teleport_pending;
    std::int32_t teleport_x;
    std::int32_t teleport_y;
    std::int32_t stairs_x;
    std::int32_t stairs_y;
    std::int32_t ally_menu;
    std::int32_t skip_key;
    std::int32_t reserved_a;
    std::int32_t reserved_b;
    std::int32_t reserved_c;
    std::int32_t controlled_ally;
    std::int32_t ally_control_mode;
    std::int32_t wizard_mode;
    char chat_lines[CHAT_LINES][CHAT_LINE_LEN];
    std::int32_t chat_count;
    std::int32_t ally_controller;
    char tail[8];
};

// The save format depends on these numbers; a failure here names the real size.
template <typename T, std::size_t Expected, std::size_t Actual = sizeof(T)>
constexpr bool assert_size()
{
    static_assert(Actual == Expected, "record size changed: save files would break");
    return true;
}
static_assert(assert_size<Cell, 40>());
static_assert(assert_size<Spell, 84>());
static_assert(assert_size<Item, 92>());
static_assert(assert_size<Player, 888>());
static_assert(assert_size<Monster, 76>());
static_assert(assert_size<Projectile, 48>());
static_assert(assert_size<Store, 288>());
static_assert(assert_size<Corpse, 28>());
static_assert(assert_size<Game, 61720>());
static_assert(sizeof(Item*) == 8);

static_assert(offsetof(Item, value) == 56);
static_assert(offsetof(Item, x) == 84);
static_assert(offsetof(Player, inventory) == 32);
static_assert(offsetof(Player, weapon) == 112);
static_assert(offsetof(Player, armor) == 120);
static_assert(offsetof(Player, player_class) == 160);
static_assert(offsetof(Player, spells) == 164);
static_assert(offsetof(Player, message) == 612);
static_assert(offsetof(Player, flying_turns) == 884);
static_assert(offsetof(Store, stock_count) == 276);
static_assert(offsetof(Game, player) == 48000);
static_assert(offsetof(Game, others) == 48888);
static_assert(offsetof(Game, other_count) == 51552);
static_assert(offsetof(Game, monsters) == 51556);
static_assert(offsetof(Game, monster_count) == 56116);
static_assert(offsetof(Game, projectiles) == 56120);
static_assert(offsetof(Game, floor_items) == 56360);
static_assert(offsetof(Game, floor_item_count) == 60040);
static_assert(offsetof(Game, stores) == 60044);
static_assert(offsetof(Game, store_count) == 60332);
static_assert(offsetof(Game, corpses) == 60336);
static_assert(offsetof(Game, corpse_count) == 60616);
static_assert(offsetof(Game, turn) == 60620);
static_assert(offsetof(Game, level) == 60624);
static_assert(offsetof(Game, stairs_x) == 60640);
static_assert(offsetof(Game, wizard_mode) == 60676);
static_assert(offsetof(Game, chat_lines) == 60680);
static_assert(offsetof(Game, chat_count) == 61704);
static_assert(offsetof(Game, ally_controller) == 61708);

static_assert(std::is_trivially_copyable_v<Game> && std::is_standard_layout_v<Game>);

// The two records of the process. Both live in static storage, zero at start.
Game& local_game();
Game& server_game();

// Cell of column x, row y; the caller keeps (x, y) on the map (see in_bounds).
inline Cell& cell_at(Game& game, int x, int y) { return game.map[x][y]; }
inline const Cell& cell_at(const Game& game, int x, int y) { return game.map[x][y]; }

// The blocked flag of a cell; squares off the map count as blocked.
int cell_blocked(const Game& game, int x, int y);

// Player number 0 is `player`, k = 1..3 is others[k-1]; any other number is none.
Player* player_by_number(Game& game, int number);
const Player* player_by_number(const Game& game, int number);

// The number of a player record inside its game, or -1 when it is not one of them.
int player_number_of(const Game& game, const Player& p);

// Counts taken from the record, held to their arrays: a loaded or damaged
// record must never make a loop run past the end of an array.
int monster_limit(const Game& game);
int others_limit(const Game& game);
int floor_item_limit(const Game& game);
int corpse_limit(const Game& game);
int store_limit(const Game& game);
int spell_limit(const Player& p);

// A save file can put any 32-bit value into a record, so every update of a
// counter or statistic (turn, level, gold, hp, mana, quantities, sums of
// bonuses) saturates at the int32 limits instead of overflowing.
inline std::int32_t clamp_to_int(long long v)
{
    return static_cast<std::int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
}
// amount is a 32-bit value or its negation.
inline void add_clamped(std::int32_t& total, long long amount)
{
    total = clamp_to_int(total + amount);
}

// Every action that takes time adds one turn.
void count_turn(Game& game);

// How many turns this process has counted, in any record. A record's own
// count stops at its limit; this tells the server that a command took time
// even then, so that the world still moves.
std::uint64_t turns_counted();

int total_attack(const Player& p);
int total_defense(const Player& p);

// True when a living monster slot below monster_count stands at (x, y).
bool monster_at(const Game& game, int x, int y);

// The first living monster at (x, y) in slot order, or none.
Monster* first_monster_at(Game& game, int x, int y);

Corpse* find_corpse_at(Game& game, int x, int y);
void add_corpse(Game& game, int x, int y, int hp, int max_hp, int attack, int defense);

// Classes 1 (Wizard) and 3 (Necromancer) cast spells: class with bit 1 cleared is 1.
inline bool is_spell_caster(int player_class) { return (player_class & ~2) == 1; }

// Copies text into a fixed field, cut to fit and always terminated.
template <std::size_t N>
void copy_text(char (&dst)[N], std::string_view src)
{
    std::size_t n = src.size() < N - 1 ? src.size() : N - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// Writes one formatted line into the player's message field, cut to 255 characters.
[[gnu::format(printf, 2, 3)]] void set_message(Player& p, const char* format, ...);
