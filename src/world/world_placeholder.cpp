// Stand-ins until the world module's operations land; each is removed from
// here when its real definition is added.
#include <unistd.h>

#include "term/term.hpp"
#include "world/character.hpp"
#include "world/chat.hpp"
#include "world/dungeon.hpp"
#include "world/effects.hpp"
#include "world/inventory.hpp"

namespace {
std::time_t g_regen_clock = 0;
}

void generate_level(Game& game)
{
    if (game.level < 1)
        game.level = 1;
    game.player.alive = 1;
}
void generate_map(Game&) {}
void spawn_monsters(Game&) {}
void spawn_floor_items(Game&) {}
void place_store(Game&) {}
void place_stairs(Game&) {}
std::time_t regen_clock() { return g_regen_clock; }
void set_regen_clock(std::time_t t) { g_regen_clock = t; }
void create_character(Game&, int, int) {}
void update_effects(Game&) {}
bool add_to_inventory(Player&, Item*) { return false; }
Item* find_inventory_item(Player&, int) { return nullptr; }
void pick_up_item(Game&, Player&) {}
void use_item(Game&, int, Player&) {}
void drink_health_potion(Player&) {}
void eat_food(Player&) {}
void apply_salve(Player&) {}
void open_shop(Game&, Player&) {}
void add_chat_message(Game&, std::string_view, std::string_view) {}
std::string sanitize_text(std::string_view text) { return std::string(text); }
