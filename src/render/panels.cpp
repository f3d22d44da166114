// The right-hand panels of a frame: the viewer's stats, inventory, equipment,
// allies and spells in column 65, and the 11 x 11 minimap in column 85.
#include <cstdint>

#include "render/frame_text.hpp"
#include "render/render.hpp"

using frame_text::append_int;
using frame_text::append_pos;
using frame_text::RESET;
using frame_text::WHITE;
using frame_text::GREY;
using frame_text::BLUE;
using frame_text::field;

namespace {
constexpr int PANEL_COL = 65;
constexpr int MINIMAP_COL = 85;
constexpr int MINIMAP_RADIUS = 5;
constexpr int INVENTORY_ROW = 11;
constexpr int ALLIES_ROW = 23;
constexpr int SPELLS_ROW = 28;


// A panel line: cursor to (row, column 65), its colour, then its label.
void start_line(std::string& out, int row, std::string_view color, std::string_view label)
{
    append_pos(out, row, PANEL_COL);
    out.append(color);
    out.append(label);
}

void value_line(std::string& out, int row, std::string_view color, std::string_view label, int value)
{
    start_line(out, row, color, label);
    append_int(out, value);
}

// Base value plus equipment bonus. A loaded record may hold any numbers, so
// the sum wraps like the 32-bit field it is shown as instead of overflowing.
int with_bonus(std::int32_t base, const Item* item)
{
    if (!item)
        return base;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(base) +
                                     static_cast<std::uint32_t>(item->value));
}

void draw_inventory_entry(std::string& out, const Item* item)
{
    if (!item) {
        out.append("Empty");
        return;
    }
    out.append(field(item->name));
    if (item->quantity > 1) {
        out.append(" (");
        append_int(out, item->quantity);
        out.push_back(')');
    }
}

void equipment_line(std::string& out, int row, std::string_view label, const Item* item)
{
    start_line(out, row, WHITE, label);
    out.append(item ? field(item->name) : std::string_view("None"));
}

std::string_view ally_mode_name(int mode)
{
    switch (mode) {
    case ALLY_FOLLOW:
        return "Follow";
    case ALLY_ATTACK:
        return "Attack";
    case ALLY_MANUAL:
        return "Manual";
    default:
        return "None";
    }
}

void draw_allies(const Game& game, std::string& out)
{
    start_line(out, ALLIES_ROW, "\x1b[95m", "--- ALLIES ---");
    int row = ALLIES_ROW + 1;
    const int n = monster_limit(game);
    for (int i = 0; i < n; ++i) {
        const Monster& m = game.monsters[i];
        if (!m.alive || !m.is_ally)
            continue;
        start_line(out, row++, field(m.color), std::string_view(&m.glyph, 1));
        out.append(" [");
        out.append(ally_mode_name(m.ally_mode));
        out.append("] (");
        append_int(out, m.hp);
        out.append(" HP)");
        out.append(RESET);
    }
    if (row == ALLIES_ROW + 1)
        start_line(out, row, GREY, "None");
}

// One minimap cell; positions off the map or never explored stay blank so
// that every row keeps its 11 cells.
void draw_minimap_cell(const Game& game, const Player& viewer, std::int64_t x, std::int64_t y,
                       std::string& out)
{
    const bool on_map = x >= 0 && x < MAP_WIDTH && y >= 0 && y < MAP_HEIGHT;
    if (!on_map || !cell_at(game, static_cast<int>(x), static_cast<int>(y)).explored) {
        out.push_back(' ');
        return;
    }
    if (x == viewer.x && y == viewer.y) {
        out.append(field(viewer.color));
        out.push_back(viewer.glyph);
        return;
    }
    const Cell& c = cell_at(game, static_cast<int>(x), static_cast<int>(y));
    out.append(field(c.color));
    out.push_back(c.glyph);
}
}  // namespace

void draw_stats_panel(const Game& game, const Player& viewer, std::string& out)
{
    start_line(out, 1, BLUE, "--- STATS ---");
    start_line(out, 2, "\x1b[31m", "Health: ");
    append_int(out, viewer.hp);
    out.push_back('/');
    append_int(out, viewer.max_hp);
    start_line(out, 3, "\x1b[36m", "Mana: ");
    append_int(out, viewer.mana);
    out.push_back('/');
    append_int(out, viewer.max_mana);
    value_line(out, 4, "\x1b[91m", "Attack: ", with_bonus(viewer.attack, viewer.weapon));
    value_line(out, 5, "\x1b[92m", "Defense: ", with_bonus(viewer.defense, viewer.armor));
    value_line(out, 6, BLUE, "Gold: ", viewer.gold);
    value_line(out, 7, WHITE, "Level: ", game.level);
    value_line(out, 8, WHITE, "Turn: ", game.turn);
    start_line(out, 9, "\x1b[35m", "Wizard Mode: ");
    out.append(game.wizard_mode ? "ON" : "OFF");
    start_line(out, 10, BLUE, "--- INVENTORY ---");
    for (int i = 0; i < INVENTORY_SLOTS; ++i) {
        value_line(out, INVENTORY_ROW + i, WHITE, "", i + 1);
        out.append(": ");
        draw_inventory_entry(out, viewer.inventory[i]);
    }
    equipment_line(out, 21, "Weapon: ", viewer.weapon);
    equipment_line(out, 22, "Armor: ", viewer.armor);
    if (viewer.player_class == CLASS_NECROMANCER || game.wizard_mode)
        draw_allies(game, out);
    if (is_spell_caster(viewer.player_class))
        draw_spells_panel(game, viewer, out);
}

void draw_spells_panel(const Game&, const Player& viewer, std::string& out)
{
    start_line(out, SPELLS_ROW, BLUE, "--- SPELLS ---");
    const int n = spell_limit(viewer);
    for (int i = 0; i < n; ++i) {
        const Spell& s = viewer.spells[i];
        value_line(out, SPELLS_ROW + 1 + i, WHITE, "", i + 1);
        out.append(": ");
        out.append(field(s.name));
        out.append(" (");
        append_int(out, s.mana_cost);
        out.append(" mana)");
    }
}

void draw_minimap(const Game& game, const Player& viewer, std::string& out)
{
    append_pos(out, 1, MINIMAP_COL);
    out.append(BLUE);
    out.append("--- MINIMAP ---");
    for (int dy = -MINIMAP_RADIUS; dy <= MINIMAP_RADIUS; ++dy) {
        append_pos(out, dy + MINIMAP_RADIUS + 2, MINIMAP_COL);
        for (int dx = -MINIMAP_RADIUS; dx <= MINIMAP_RADIUS; ++dx) {
            // 64-bit so that a damaged position near the int limits cannot overflow.
            draw_minimap_cell(game, viewer, std::int64_t{viewer.x} + dx, std::int64_t{viewer.y} + dy,
                              out);
        }
    }
}
