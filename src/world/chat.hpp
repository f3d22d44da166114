// The four-line chat ring kept inside the game record.
#pragma once

#include <string>
#include <string_view>

#include "world/game.hpp"

// Trims the text and stores "sender + text" in the next ring slot; an empty
// text adds nothing. The sender is used unchanged.
void add_chat_message(Game& game, std::string_view sender, std::string_view text);
