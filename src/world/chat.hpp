// The four-line chat ring kept inside the game record.
#pragma once

#include <string>
#include <string_view>

#include "world/game.hpp"

// Trims the text and stores "sender + text" in the next ring slot; an empty
// text adds nothing. The sender is used unchanged.
void add_chat_message(Game& game, std::string_view sender, std::string_view text);

// Drops every byte below 0x20 and the byte 0x7F, so untrusted text cannot
// carry terminal escapes to other screens. UTF-8 passes unchanged.
std::string sanitize_text(std::string_view text);
