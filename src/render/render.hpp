// One full frame per viewer: chat, map and what stands on it, side panels,
// message line and prompt, built in one buffer and written in one go.
#pragma once

#include <string>

#include "world/game.hpp"

// The smallest terminal a whole frame fits on: the minimap's title ends in
// column 99, and the spells panel and the prompt lie within 35 rows.
constexpr int FRAME_COLUMNS = 99;
constexpr int FRAME_ROWS = 35;

// Appends the whole frame for viewer (player slot viewer_slot) to out. Sets
// explored on every visible cell, the only field a frame writes.
void build_frame(Game& game, const Player& viewer, int viewer_slot, std::string& out);

// build_frame, then writes the frame to screen_fd() and flushes the streams.
void render_screen(Game& game, const Player& viewer, int viewer_slot);

// The layers, in drawing order; each positions the cursor before every glyph.
void draw_chat_panel(const Game& game, std::string& out);
void draw_map(Game& game, std::string& out);
void draw_projectiles(const Game& game, std::string& out);
void draw_floor_items(const Game& game, std::string& out);
void draw_corpses(const Game& game, std::string& out);
void draw_monsters(const Game& game, std::string& out);
void draw_players(const Game& game, std::string& out);
void draw_cursors(const Game& game, const Player& viewer, int viewer_slot, std::string& out);
void draw_stats_panel(const Game& game, const Player& viewer, std::string& out);
void draw_spells_panel(const Game& game, const Player& viewer, std::string& out);
void draw_minimap(const Game& game, const Player& viewer, std::string& out);

// The help text, byte for byte.
const char* help_text();

// Writes the help screen to screen_fd(); locally waits for one key, on the
// server pauses three seconds.
void show_help(Game& game);
