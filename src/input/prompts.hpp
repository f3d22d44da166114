// The prompts and keys that the local and the networked dispatchers share, and
// the descent they both use. Private to the input module.
#pragma once

#include "world/game.hpp"

namespace input {

constexpr char KEY_ESC = 27;

// The two dispatchers differ in small ways inside the same prompt.
enum class Dispatcher { local, network };

// A key while p.running is set: cursor steps held to the map, run, cancel.
void running_key(Game& game, Player& p, char key);

// A key while p.aiming is set. The local aiming also closes the ally menu and
// confirms the wizard teleport with 't'.
void aiming_key(Game& game, Player& p, char key, Dispatcher dispatcher);

// A key while p.choosing_item is set: '1'..'9' use slots 0..8.
void equip_prompt_key(Game& game, Player& p, char key);

// The normal keys both dispatchers give the same meaning ('5', ',', 'e', 'f',
// 's', 'S', 'L', 'q', '?'). False when the key is not one of them.
bool shared_normal_key(Game& game, Player& p, char key);

bool on_stairs(const Game& game, const Player& p);

// Takes player 0 and every others slot down one level together. The caller
// has checked that player 0 stands on the stairs.
void descend_party(Game& game);

}  // namespace input
