// Stand-ins until the rules land; each is removed from here when its real
// definition is added.
#include "rules/allies.hpp"
#include "rules/combat.hpp"
#include "rules/monsters.hpp"
#include "rules/movement.hpp"
#include "rules/projectiles.hpp"
#include "rules/spells.hpp"
#include "rules/wizard.hpp"

bool keypad_direction(char, int&, int&) { return false; }
void move_player(Game&, int, int, Player&) {}
void move_remote_player(Game&, int, int, int) {}
void follow_step(Game&, int) {}
void player_attack(Game&, Player&, Monster&) {}
void monster_attack(Game&, Monster&, Player&) {}
void monsters_turn(Game&) {}
Monster* nearest_hostile_monster(Game&, int, int) { return nullptr; }
void move_ally(Game&, int, int, int) {}
void select_next_ally(Game&, Player&) {}
int count_living_allies(const Game&) { return 0; }
void open_ally_menu(Game&, Player&) {}
void ally_menu_key(Game&, Player&, int, char) {}
void manual_ally_key(Game&, Player&, char) {}
bool manual_control_active(const Game&) { return false; }
void fire_projectile(Game&, int, int, Player&) {}
void update_projectiles(Game&) {}
void choose_spell(Game&, char, Player&) {}
void cast_spell(Game&, int, int, int, Player&) {}
int find_player_at(Game&, int, int) { return -1; }
void set_player_name_source(PlayerNameSource) {}
void wizard_command(Game&, char) {}
int wrath_of_god(Game&) { return 0; }
void wizard_teleport(Game&, int, int) {}
