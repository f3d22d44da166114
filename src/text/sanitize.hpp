// Untrusted text made safe to show on a terminal or in a log: the lowest
// layer, so that the chat, the server and the event log share one rule.
#pragma once

#include <string>
#include <string_view>

// Keeps only printable, well-formed UTF-8, so untrusted text cannot carry
// terminal controls (C0, DEL, C1 in raw or UTF-8 form) or bidirectional
// overrides to other screens. Every byte that is not part of a well-formed
// sequence is dropped; plain ASCII and valid UTF-8 pass unchanged.
std::string sanitize_text(std::string_view text);
