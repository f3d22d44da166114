// What a player carries: picking up, equipping, consuming and buying.
#include "world/inventory.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "term/term.hpp"
#include "world/items.hpp"

namespace {
constexpr const char* RESET = "\x1b[0m";
constexpr const char* RED = "\x1b[31m";
constexpr const char* YELLOW = "\x1b[33m";
constexpr const char* GREEN = "\x1b[92m";
constexpr const char* CYAN = "\x1b[96m";
constexpr int SHOP_ROW = 29;

bool is_stackable(int kind)
{
    return kind == ITEM_GOLD_COIN || kind == ITEM_ARROWS || kind == ITEM_STONES;
}

bool is_weapon(int kind)
{
    return kind == ITEM_SWORD || kind == ITEM_BOW || kind == ITEM_SLINGSHOT || kind == ITEM_STAFF;
}

bool is_armor(int kind) { return kind == ITEM_LEATHER_ARMOR || kind == ITEM_HEAVY_ARMOR; }

// A text field of a record, which a loaded save may leave unterminated.
template <std::size_t N>
int field_length(const char (&field)[N])
{
    return static_cast<int>(strnlen(field, N));
}

void heal(Player& p, int amount)
{
    p.hp = static_cast<int>(std::min<long long>(static_cast<long long>(p.hp) + amount, p.max_hp));
}

// Toggles one equipment reference. A block of its own that a loaded save
// left behind is released when replaced, since nothing else refers to it.
void toggle_equipped(Player& p, Item*& equipped, Item* item)
{
    if (equipped == item) {
        equipped = nullptr;
        set_message(p, "%sYou unequip the %.*s.%s", YELLOW, field_length(item->name), item->name,
                    RESET);
        return;
    }
    equip_item(p, equipped, item);
    set_message(p, "%sYou equip the %.*s.%s", CYAN, field_length(item->name), item->name, RESET);
}

void consume(Player& p, int slot)
{
    Item* item = p.inventory[slot];
    switch (item->kind) {
    case ITEM_HEALTH_POTION: drink_health_potion(p); break;
    case ITEM_FOOD: eat_food(p); break;
    default: apply_salve(p); break;
    }
    add_clamped(item->quantity, -1);
    if (item->quantity >= 1)
        return;
    // Equipment only ever refers to weapons and armour, but a damaged record
    // must not keep a reference to the block released here.
    if (p.weapon == item)
        p.weapon = nullptr;
    if (p.armor == item)
        p.armor = nullptr;
    destroy_item(item);
    p.inventory[slot] = nullptr;
}

int first_empty_slot(const Player& p)
{
    for (int i = 0; i < INVENTORY_SLOTS; ++i) {
        if (!p.inventory[i])
            return i;
    }
    return -1;
}

void draw_shop(const Store& store, int count)
{
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "\x1b[%d;%dH%s--- STORE ITEMS ---", SHOP_ROW, 1, "\x1b[94m");
    out += line;
    for (int i = 0; i < count; ++i) {
        const Item& good = store.stock[i];
        std::snprintf(line, sizeof line, "\x1b[%d;%dH%s%d: %.*s (%d Gold)%s", SHOP_ROW + 1 + i, 1,
                      "\x1b[37m", i + 1, field_length(good.name), good.name, good.value, RESET);
        out += line;
    }
    std::snprintf(line, sizeof line, "\x1b[%d;%dH%sEnter item number to buy (1-%d), or 0 to cancel: ",
                  SHOP_ROW + 1 + count, 1, CYAN, count);
    out += line;
    std::fflush(nullptr);
    write_screen(out);
}

// Reads the answer line; the first byte is the choice, -1 when none came.
int read_answer()
{
    int fd = screen_fd();
    if (fd < 0)
        return -1;
    int c = read_dialogue_byte(fd);
    if (c < 0)
        return -1;
    discard_line(fd);
    return c;
}

bool at_store(const Game& game, const Player& p)
{
    return store_limit(game) > 0 && p.x == game.stores[0].x && p.y == game.stores[0].y;
}

// What the buyer was shown is what it pays for: kind, name and price.
bool same_goods(const Item& a, const Item& b)
{
    return a.kind == b.kind && a.value == b.value && std::memcmp(a.name, b.name, sizeof a.name) == 0;
}

void buy(Game& game, Player& p, const Item& good)
{
    int price = good.value;
    if (p.gold < price) {
        set_message(p, "%sNot enough gold for %.*s.%s", RED, field_length(good.name), good.name,
                    RESET);
        return;
    }
    Item* item = create_item(good.kind);
    if (!item)
        return;
    item->value = price;
    item->quantity = 1;
    if (!add_to_inventory(p, item)) {
        set_message(p, "%sInventory is full!%s", RED, RESET);
        return;
    }
    add_clamped(p.gold, -static_cast<long long>(price));
    set_message(p, "%sYou bought a %.*s for %d gold.%s", GREEN, field_length(good.name), good.name,
                price, RESET);
    count_turn(game);
}
}  // namespace

bool add_to_inventory(Player& p, Item* item)
{
    if (!item)
        return false;
    int slot = first_empty_slot(p);
    if (slot < 0) {
        destroy_item(item);
        return false;
    }
    p.inventory[slot] = item;
    return true;
}

Item* find_inventory_item(Player& p, int kind)
{
    for (Item* item : p.inventory) {
        if (item && item->kind == kind)
            return item;
    }
    return nullptr;
}

void pick_up_item(Game& game, Player& p)
{
    Item* floor = nullptr;
    int n = floor_item_limit(game);
    for (int i = 0; i < n && !floor; ++i) {
        if (game.floor_items[i].x == p.x && game.floor_items[i].y == p.y)
            floor = &game.floor_items[i];
    }
    if (!floor) {
        set_message(p, "%sThere is nothing here to pick up.%s", YELLOW, RESET);
        return;
    }
    Item* item = create_item(floor->kind);
    if (!item)
        return;
    item->value = floor->value;
    item->quantity = floor->quantity;
    Item* stack = is_stackable(floor->kind) ? find_inventory_item(p, floor->kind) : nullptr;
    if (stack) {
        add_clamped(stack->quantity, item->quantity);
        destroy_item(item);
    } else if (!add_to_inventory(p, item)) {
        set_message(p, "%sInventory is full!%s", RED, RESET);
        return;
    }
    set_message(p, "%sYou pick up a %.*s.%s", GREEN, field_length(floor->name), floor->name, RESET);
    floor->x = -1;
    floor->y = -1;
    count_turn(game);
}

void use_item(Game& game, int slot, Player& p)
{
    if (slot < 0 || slot >= INVENTORY_SLOTS || !p.inventory[slot]) {
        set_message(p, "%sInvalid inventory slot or empty.%s", RED, RESET);
        return;
    }
    Item* item = p.inventory[slot];
    if (is_weapon(item->kind))
        toggle_equipped(p, p.weapon, item);
    else if (is_armor(item->kind))
        toggle_equipped(p, p.armor, item);
    else if (item->kind == ITEM_HEALTH_POTION || item->kind == ITEM_FOOD || item->kind == ITEM_SALVE)
        consume(p, slot);
    else
        set_message(p, "%sThe %.*s is not an equippable or consumable item.%s", YELLOW,
                    field_length(item->name), item->name, RESET);
    count_turn(game);
}

void drink_health_potion(Player& p)
{
    heal(p, 30);
    set_message(p, "%sYou drink a health potion and feel better (Health +30).%s", GREEN, RESET);
}

void eat_food(Player& p)
{
    heal(p, 15);
    set_message(p, "%sYou eat some food (Health +15).%s", "\x1b[35m", RESET);
}

void apply_salve(Player& p)
{
    heal(p, 40);
    set_message(p, "%sYou apply a salve and feel greatly restored (Health +40).%s", "\x1b[94m",
                RESET);
}

void open_shop(Game& game, Player& p)
{
    ShopOffer offer;
    if (offer_shop(game, p, offer))
        answer_shop(game, p, offer, read_answer());
}

bool offer_shop(Game& game, Player& p, ShopOffer& offer)
{
    if (!at_store(game, p)) {
        set_message(p, "%sYou are not at a store.%s", YELLOW, RESET);
        return false;
    }
    offer.store = game.stores[0];
    // A loaded record may carry any stock_count; only real goods are offered.
    offer.count = std::clamp(offer.store.stock_count, 0, STORE_STOCK);
    draw_shop(offer.store, offer.count);
    return true;
}

void answer_shop(Game& game, Player& p, const ShopOffer& offer, int answer)
{
    if (answer < 0 || !p.alive)
        return;
    if (!at_store(game, p) || game.stores[0].x != offer.store.x || game.stores[0].y != offer.store.y) {
        set_message(p, "%sYou are not at a store.%s", YELLOW, RESET);
        return;
    }
    const int choice = answer - '1';
    const Store& now = game.stores[0];
    if (choice < 0 || choice >= offer.count || choice >= std::clamp(now.stock_count, 0, STORE_STOCK)
        || !same_goods(now.stock[choice], offer.store.stock[choice])) {
        set_message(p, "%sPurchase canceled.%s", YELLOW, RESET);
        return;
    }
    buy(game, p, now.stock[choice]);
}
