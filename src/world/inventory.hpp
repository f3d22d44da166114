// What a player carries: picking up, equipping, consuming and buying.
#pragma once

#include "world/game.hpp"

// Stores the item in the first empty slot; without one the item is released.
// Returns false when the item could not be stored (or was none).
bool add_to_inventory(Player& p, Item* item);

// The first carried item of the kind in slot order, or none.
Item* find_inventory_item(Player& p, int kind);

void pick_up_item(Game& game, Player& p);

// Equips, unequips or consumes the item in slot (0-based).
void use_item(Game& game, int slot, Player& p);

void drink_health_potion(Player& p);
void eat_food(Player& p);
void apply_salve(Player& p);

// The shop dialogue, drawn on and answered through screen_fd().
void open_shop(Game& game, Player& p);

// The shop in two steps, for a caller that reads the answer itself without
// holding the game lock: what was offered, so that the answer can be checked
// against the shop as it is by then.
struct ShopOffer {
    Store store;
    int count;
};

// Draws the offer when p stands at the store and fills offer; otherwise
// tells p it is not at a store and answers false.
bool offer_shop(Game& game, Player& p, ShopOffer& offer);

// Applies the answer byte (-1 for none) to the offer. The purchase is made
// only while p is alive, still at that store, the chosen goods are still
// there and p can pay; otherwise the shop's usual refusal applies.
void answer_shop(Game& game, Player& p, const ShopOffer& offer, int answer);
