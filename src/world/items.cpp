#include "world/items.hpp"

#include <new>

namespace {
struct CatalogueEntry {
    bool exists;
    const char* name;
    char glyph;
    int value;
    int quantity;
    const char* color;
};

constexpr CatalogueEntry CATALOGUE[16] = {
    { true, "Sword", '/', 5, 1, "\x1b[96m" },
    { true, "Bow", ')', 3, 1, "\x1b[32m" },
    { true, "Slingshot", '(', 1, 1, "\x1b[94m" },
    { true, "Health Potion", '!', 10, 1, "\x1b[31m" },
    { true, "Gold Coin", '$', 1, 1, "\x1b[33m" },
    { true, "Leather Armor", '[', 2, 1, "\x1b[94m" },
    { true, "Heavy Armor", '[', 5, 1, "\x1b[90m" },
    { false, "", 0, 0, 0, "" },
    { false, "", 0, 0, 0, "" },
    { true, "Arrows", '\'', 1, 200, "\x1b[96m" },
    { true, "Stones", '`', 1, 200, "\x1b[90m" },
    { false, "", 0, 0, 0, "" },
    { true, "Staff", '|', 2, 1, "\x1b[33m" },
    { true, "Food", '%', 15, 1, "\x1b[35m" },
    { true, "Salve", '+', 25, 1, "\x1b[94m" },
    { true, "Canoe", 'O', 150, 1, "\x1b[93m" },
};

bool held_by_inventory(const Player& p, const Item* item)
{
    for (const Item* slot : p.inventory) {
        if (slot == item)
            return true;
    }
    return false;
}
}  // namespace

bool is_item_kind(int kind) { return kind >= 0 && kind < 16 && CATALOGUE[kind].exists; }

Item* create_blank_item() { return new (std::nothrow) Item {}; }

void destroy_item(Item* item) { delete item; }

Item* create_item(int kind)
{
    if (!is_item_kind(kind))
        return nullptr;
    Item* item = create_blank_item();
    if (!item)
        return nullptr;
    const CatalogueEntry& e = CATALOGUE[kind];
    item->kind = kind;
    copy_text(item->name, e.name);
    item->glyph = e.glyph;
    item->value = e.value;
    item->quantity = e.quantity;
    copy_text(item->color, e.color);
    item->x = -1;
    item->y = -1;
    return item;
}

void equip_item(Player& p, Item*& equipped, Item* item)
{
    Item* previous = equipped;
    if (previous && previous != item && !held_by_inventory(p, previous)) {
        destroy_item(previous);
        if (p.weapon == previous)
            p.weapon = nullptr;
        if (p.armor == previous)
            p.armor = nullptr;
    }
    equipped = item;
}

void free_inventory(Player& p)
{
    // After a load, weapon and armor are blocks of their own; normally they
    // are second references to inventory blocks and must not be freed twice.
    if (p.weapon && !held_by_inventory(p, p.weapon))
        destroy_item(p.weapon);
    if (p.armor && p.armor != p.weapon && !held_by_inventory(p, p.armor))
        destroy_item(p.armor);
    p.weapon = nullptr;
    p.armor = nullptr;
    for (int i = 0; i < INVENTORY_SLOTS; ++i) {
        Item* item = p.inventory[i];
        if (!item)
            continue;
        for (int j = i + 1; j < INVENTORY_SLOTS; ++j) {
            if (p.inventory[j] == item)
                p.inventory[j] = nullptr;
        }
        destroy_item(item);
        p.inventory[i] = nullptr;
    }
}

void free_player_items(Game& game)
{
    free_inventory(game.player);
    int n = others_limit(game);
    for (int k = 0; k < n; ++k)
        free_inventory(game.others[k]);
}
