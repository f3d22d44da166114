// The four-line chat ring kept inside the game record.
#pragma once

#include <string>
#include <string_view>

#include "world/game.hpp"

// Trims the text and stores "sender + text" in the next ring slot; an empty
// text adds nothing. The sender is used unchanged.
void add_chat_message(Game& game, std::string_view sender, std::string_view text);

// Keeps only printable, well-formed UTF-8, so untrusted text cannot carry
// terminal controls (C0, DEL, C1 in raw or UTF-8 form) or bidirectional
// overrides to other screens. Every byte that is not part of a well-formed
// sequence is dropped; plain ASCII and valid UTF-8 pass unchanged.
std::string sanitize_text(std::string_view text);
