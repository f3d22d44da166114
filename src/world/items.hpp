// The item catalogue: the one place that makes and releases carried items.
#pragma once

#include "world/game.hpp"

// A new heap item of the kind, filled from the catalogue with x, y = -1, or
// nullptr for a kind the catalogue does not have (7, 8, 11, < 0, > 15).
Item* create_item(int kind);

// A zero-filled heap item for readers that fill all 92 bytes themselves.
Item* create_blank_item();

// Releases one carried item made by create_item or create_blank_item.
void destroy_item(Item* item);

// True for a kind the catalogue has.
bool is_item_kind(int kind);

// Makes item the one `equipped` (the player's weapon or armor) refers to. A
// previous block of its own, which only a loaded save leaves behind, is
// released, since nothing else refers to it.
void equip_item(Player& p, Item*& equipped, Item* item);

// Releases every carried item of the player exactly once and empties the ten
// slots, weapon and armor.
void free_inventory(Player& p);

// free_inventory for player and the first other_count entries of others.
void free_player_items(Game& game);
