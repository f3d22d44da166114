// The four-line chat ring kept inside the game record.
#include "world/chat.hpp"

#include <algorithm>
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

// At most room bytes of text, never ending inside a UTF-8 character: a lone
// lead byte before the next escape would garble every screen.
std::string_view cut_at_character(std::string_view text, std::size_t room)
{
    if (text.size() <= room)
        return text;
    std::size_t n = room;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
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
    line.append("\x1b[96m").append(sender).append("\x1b[15C").append("\x1b[97m");
    std::size_t room = CHAT_LINE_LEN - 1 - std::min<std::size_t>(line.size(), CHAT_LINE_LEN - 1);
    line.append(cut_at_character(body, room));
    copy_text(game.chat_lines[game.chat_count % CHAT_LINES], line);
    // Past INT_MAX the count restarts at a multiple of the ring size that
    // still says the ring is full, so the slot order carries on.
    game.chat_count = game.chat_count == INT_MAX ? CHAT_LINES : game.chat_count + 1;
}
