// Stand-ins until the renderer lands; each is removed from here when its real
// definition is added.
#include "render/render.hpp"

void build_frame(Game&, const Player&, int, std::string&) {}
void render_screen(Game&, const Player&, int) {}
void draw_chat_panel(const Game&, std::string&) {}
void draw_map(Game&, std::string&) {}
void draw_projectiles(const Game&, std::string&) {}
void draw_floor_items(const Game&, std::string&) {}
void draw_corpses(const Game&, std::string&) {}
void draw_monsters(const Game&, std::string&) {}
void draw_players(const Game&, std::string&) {}
void draw_cursors(const Game&, const Player&, int, std::string&) {}
void draw_stats_panel(const Game&, const Player&, std::string&) {}
void draw_spells_panel(const Game&, const Player&, std::string&) {}
void draw_minimap(const Game&, const Player&, std::string&) {}
const char* help_text() { return ""; }
void show_help(Game&) {}
