#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "world/chat.hpp"
#include "world_fixtures.hpp"

namespace {
using world_test::new_game;

std::string line_for(std::string_view sender, std::string_view text)
{
    return "\x1b[96m" + std::string(sender) + "\x1b[15C\x1b[97m" + std::string(text);
}

TEST(Chat, TextIsTrimmedButTheSenderIsNot)
{
    auto g = new_game();
    add_chat_message(*g, "Player", "   hello  \r\n");
    EXPECT_EQ(g->chat_lines[0], line_for("Player", "hello"));
    EXPECT_EQ(g->chat_count, 1);
    add_chat_message(*g, "[SERVER] ", "\t a  b \t");
    EXPECT_EQ(g->chat_lines[1], line_for("[SERVER] ", "a  b"));
    // Leading line breaks are not blanks: only blanks and tabs go at the front.
    add_chat_message(*g, "x", "\nhi");
    EXPECT_EQ(g->chat_lines[2], line_for("x", "\nhi"));
}

TEST(Chat, NothingLeftAfterTrimmingAddsNoLine)
{
    auto g = new_game();
    for (std::string_view text : { "", "     ", " \t\r\n ", "\r\n" })
        add_chat_message(*g, "Player", text);
    EXPECT_EQ(g->chat_count, 0);
    EXPECT_EQ(g->chat_lines[0][0], '\0');
}

TEST(Chat, FifthLineOverwritesTheOldestSlot)
{
    auto g = new_game();
    for (int i = 1; i <= 5; ++i)
        add_chat_message(*g, "P", "line " + std::to_string(i));
    EXPECT_EQ(g->chat_count, 5);
    EXPECT_EQ(g->chat_lines[0], line_for("P", "line 5"));
    // Oldest to newest starts at slot count mod 4.
    for (int k = 0; k < CHAT_LINES; ++k)
        EXPECT_EQ(g->chat_lines[(g->chat_count + k) % CHAT_LINES],
                  line_for("P", "line " + std::to_string(k + 2)));
}

TEST(Chat, LongLineIsCutToTheSlot)
{
    auto g = new_game();
    add_chat_message(*g, "Player", std::string(250, 'w'));
    EXPECT_EQ(std::strlen(g->chat_lines[0]), 255u);
    EXPECT_EQ(std::string(g->chat_lines[0]).rfind(line_for("Player", "www"), 0), 0u);
    add_chat_message(*g, std::string(600, 's'), "x");
    EXPECT_EQ(std::strlen(g->chat_lines[1]), 255u);
}

TEST(Chat, DamagedCountFromALoadedRecordStaysInsideTheRing)
{
    auto g = new_game();
    g->chat_count = -7;
    add_chat_message(*g, "P", "after load");
    EXPECT_EQ(g->chat_count, 1);
    EXPECT_EQ(g->chat_lines[0], line_for("P", "after load"));

    g->chat_count = INT_MAX;
    add_chat_message(*g, "P", "three");
    add_chat_message(*g, "P", "zero");
    EXPECT_EQ(g->chat_lines[3], line_for("P", "three"));
    EXPECT_EQ(g->chat_lines[0], line_for("P", "zero"));
    EXPECT_GE(g->chat_count, CHAT_LINES);
}

TEST(Sanitizer, DropsControlBytesAndDeleteButKeepsUtf8)
{
    EXPECT_EQ(sanitize_text("a\x1b[31mred\x7f\tb\r\n"), "a[31mredb");
    EXPECT_EQ(sanitize_text(std::string_view("nul\0byte", 8)), "nulbyte");
    EXPECT_EQ(sanitize_text("caf\xc3\xa9 \xe2\x80\x93 ok"), "caf\xc3\xa9 \xe2\x80\x93 ok");
    EXPECT_EQ(sanitize_text("\x01\x1f"), "");
    EXPECT_EQ(sanitize_text(" ~"), " ~");
}

}  // namespace
