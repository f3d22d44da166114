// Character creation: the class dialogue on a descriptor and the class kits.
#include "world/character.hpp"

#include <algorithm>
#include <cstdio>

#include "term/term.hpp"
#include "world/inventory.hpp"
#include "world/items.hpp"

namespace {
constexpr int KEEP = -1;  // a stat the class leaves as it was
constexpr int MAX_KIT = 6;

struct SpellEntry {
    SpellId id;
    const char* name;
    int mana_cost;
    int power;
    const char* color;
};

struct ClassKit {
    PlayerClass player_class;
    const char* message;
    int hp;
    int mana;
    int attack;
    int defense;
    int spell_count;
    const SpellEntry* spells;
    int spells_written;
    ItemKind items[MAX_KIT];
    int item_count;
    int weapon_index;  // which of the items is wielded
    int armor_index;   // which of the items is worn
};

constexpr SpellEntry WIZARD_SPELLS[] = {
    { SPELL_FIREBALL, "Fireball", 20, 25, "\x1b[91m" },
    { SPELL_HEAL, "Heal", 15, 20, "\x1b[92m" },
    { SPELL_INVISIBILITY, "Invisibility", 35, 0, "\x1b[90m" },
    { SPELL_FLIGHT, "Flight", 40, 0, "\x1b[97m" },
};

constexpr SpellEntry NECROMANCER_SPELLS[] = {
    { SPELL_ANIMATE_DEAD, "Animate Dead", 30, 0, "\x1b[35m" },
    { SPELL_POSSESS_ENEMY, "Possess Enemy", 25, 0, "\x1b[35m" },
};

// The Rogue counts one spell without writing any: its first entry keeps what
// it held. The spell list and casting read spell_count as it is.
constexpr ClassKit KITS[4] = {
    { CLASS_FIGHTER, "You have chosen the Fighter class.", 150, 50, 5, 3, 0, nullptr, 0,
      { ITEM_SWORD, ITEM_HEAVY_ARMOR }, 2, 0, 1 },
    { CLASS_WIZARD, "You have chosen the Wizard class.", 80, 150, 2, KEEP, 4, WIZARD_SPELLS, 4,
      { ITEM_STAFF, ITEM_LEATHER_ARMOR, ITEM_SLINGSHOT, ITEM_STONES }, 4, 0, 1 },
    { CLASS_ROGUE, "You have chosen the Rogue class.", 100, 80, 4, KEEP, 1, nullptr, 0,
      { ITEM_SLINGSHOT, ITEM_STONES, ITEM_LEATHER_ARMOR, ITEM_BOW, ITEM_ARROWS, ITEM_CANOE }, 6, 0,
      2 },
    { CLASS_NECROMANCER, "You have chosen the Necromancer class.", 110, 120, 3, KEEP, 2,
      NECROMANCER_SPELLS, 2, { ITEM_STAFF, ITEM_LEATHER_ARMOR, ITEM_SLINGSHOT, ITEM_STONES }, 4, 0,
      1 },
};

void write_menu(int fd)
{
    std::fflush(nullptr);
    write_all(fd, class_menu_text());
}

// The kit a key names, or none.
const ClassKit* kit_for(int key)
{
    if (key < '1' || key > '4')
        return nullptr;
    return &KITS[key - '1'];
}

// The chosen kit, or none when no key came or the key names no class.
const ClassKit* read_choice(int fd)
{
    int c = read_dialogue_byte(fd);
    if (c < 0)
        return nullptr;
    discard_line(fd);
    return kit_for(c);
}

void write_spells(Player& p, const ClassKit& kit)
{
    for (int i = 0; i < kit.spells_written; ++i) {
        const SpellEntry& e = kit.spells[i];
        Spell& s = p.spells[i];
        s.id = e.id;
        copy_text(s.name, e.name);
        s.mana_cost = e.mana_cost;
        s.power = e.power;
        copy_text(s.color, e.color);
    }
}

void hand_out_kit(Player& p, const ClassKit& kit)
{
    for (int i = 0; i < kit.item_count; ++i) {
        Item* item = create_item(kit.items[i]);
        if (!add_to_inventory(p, item))
            continue;
        if (i == kit.weapon_index)
            equip_item(p, p.weapon, item);
        else if (i == kit.armor_index)
            equip_item(p, p.armor, item);
    }
}

void apply_kit(Player& p, const ClassKit& kit)
{
    p.hp = p.max_hp = kit.hp;
    p.mana = p.max_mana = kit.mana;
    p.attack = kit.attack;
    if (kit.defense != KEEP)
        p.defense = kit.defense;
    p.player_class = kit.player_class;
    p.spell_count = kit.spell_count;
    write_spells(p, kit);
    hand_out_kit(p, kit);
    p.invisible_turns = 0;
    // A Rogue who was flying keeps flying.
    if (kit.player_class != CLASS_ROGUE)
        p.flying_turns = 0;
    copy_text(p.message, kit.message);
}
}  // namespace

void create_character(Game& game, int fd, int player_number)
{
    Player* p = player_by_number(game, player_number);
    if (!p)
        return;
    clear_screen();
    write_menu(fd);
    const ClassKit* kit = read_choice(fd);
    if (kit)
        apply_kit(*p, *kit);
}

std::string class_menu_text()
{
    char menu[1024];
    std::snprintf(menu, sizeof menu,
                  "%sChoose your class:%s\n"
                  "1. %sFighter%s - A durable warrior skilled in close combat.\n"
                  "2. %sWizard%s - A master of magic with destructive and restorative spells.\n"
                  "3. %sRogue%s - A sneaky archer proficient with ranged weapons.\n"
                  "4. %sNecromancer%s - A dark mage who raises and controls the undead.\n",
                  "\x1b[94m", "\x1b[0m", "\x1b[92m", "\x1b[0m", "\x1b[95m", "\x1b[0m", "\x1b[96m",
                  "\x1b[0m", "\x1b[91m", "\x1b[0m");
    return menu;
}

bool apply_class_choice(Game& game, int player_number, int key)
{
    Player* p = player_by_number(game, player_number);
    const ClassKit* kit = kit_for(key);
    if (!p || !kit)
        return false;
    apply_kit(*p, *kit);
    return true;
}
