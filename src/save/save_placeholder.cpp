// Stand-ins until save games land; each is removed from here when its real
// definition is added.
#include "save/save.hpp"

int write_save_file(const char*, Game&, Player&) { return -1; }
int read_save_file(const char*, Game&, Player&) { return -1; }
void save_game(Game&, Player& p) { set_message(p, "Saving is not available yet."); }
void load_game(Game&, Player& p) { set_message(p, "Loading is not available yet."); }
void show_status_line(std::string_view) {}
void set_status_message(std::string_view text, Player& p) { copy_text(p.message, text); }
