// The four-line chat ring kept inside the game record.
#include "world/chat.hpp"

#include <climits>

namespace {
constexpr std::string_view LEADING = " \t";
constexpr std::string_view TRAILING = " \t\n\r";

std::string_view trimmed(std::string_view text)
{
    std::size_t first = text.find_first_not_of(LEADING);
    if (first == std::string_view::npos)
        return {};
    text.remove_prefix(first);
    std::size_t last = text.find_last_not_of(TRAILING);
    return last == std::string_view::npos ? std::string_view {} : text.substr(0, last + 1);
}

}  // namespace

void add_chat_message(Game& game, std::string_view sender, std::string_view text)
{
    std::string_view body = trimmed(text);
    if (body.empty())
        return;
    // A loaded record may hold any count; a negative one would index before
    // the ring, so it starts over.
    if (game.chat_count < 0)
        game.chat_count = 0;
    std::string line;
    line.reserve(CHAT_LINE_LEN + sender.size() + body.size());
    line.append("\x1b[96m").append(sender).append("\x1b[15C").append("\x1b[97m").append(body);
    copy_text(game.chat_lines[game.chat_count % CHAT_LINES], line);
    // Past INT_MAX the count restarts at a multiple of the ring size that
    // still says the ring is full, so the slot order carries on.
    game.chat_count = game.chat_count == INT_MAX ? CHAT_LINES : game.chat_count + 1;
}
