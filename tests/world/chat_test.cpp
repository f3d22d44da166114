#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "world/chat.hpp"
#include "world_fixtures.hpp"

namespace {

std::string line_for(std::string_view sender, std::string_view text)
{
    return "\x1b[96m" + std::string(sender) + "\x1b[15C\x1b[97m" + std::string(text);
}

TEST(Chat, TextIsTrimmedTheSenderIsNotAndBlankTextAddsNothing)
{
    auto g = world_test::new_game();
    for (std::string_view blank : { "", "     ", " \t\r\n ", "\r\n" })
        add_chat_message(*g, "Player", blank);
    EXPECT_EQ(g->chat_count, 0);
    add_chat_message(*g, "Player", "   hello  \r\n");
    add_chat_message(*g, "[SERVER] ", "\t a  b \t");
    add_chat_message(*g, "x", "\nhi");  // a leading line break is not a blank
    EXPECT_EQ(g->chat_lines[0], line_for("Player", "hello"));
    EXPECT_EQ(g->chat_lines[1], line_for("[SERVER] ", "a  b"));
    EXPECT_EQ(g->chat_lines[2], line_for("x", "\nhi"));
    EXPECT_EQ(g->chat_count, 3);
}

TEST(Chat, RingKeepsTheLastFourInOrderAndCutsLongLines)
{
    auto g = world_test::new_game();
    for (int i = 1; i <= 5; ++i)
        add_chat_message(*g, "P", "line " + std::to_string(i));
    // Oldest to newest starts at slot count mod 4; the fifth line took slot 0.
    for (int k = 0; k < CHAT_LINES; ++k)
        EXPECT_EQ(g->chat_lines[(g->chat_count + k) % CHAT_LINES],
                  line_for("P", "line " + std::to_string(k + 2)));
    add_chat_message(*g, "Player", std::string(250, 'w'));
    EXPECT_EQ(std::strlen(g->chat_lines[1]), 255u);
    add_chat_message(*g, std::string(600, 's'), "x");
    EXPECT_EQ(std::strlen(g->chat_lines[2]), 255u);
}

TEST(Chat, DamagedCountFromALoadedRecordStaysInsideTheRing)
{
    auto g = world_test::new_game();
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
    EXPECT_EQ(sanitize_text(std::string_view("nul\0byte\x01\x1f", 10)), "nulbyte");
    EXPECT_EQ(sanitize_text(" ~caf\xc3\xa9 \xe2\x80\x93"), " ~caf\xc3\xa9 \xe2\x80\x93");
}

}  // namespace
