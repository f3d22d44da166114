#include <gtest/gtest.h>
#include <climits>
#include <cstring>
#include <string>
#include "world/chat.hpp"
#include "world_fixtures.hpp"

namespace {

TEST(GameRecord, MapIsStoredColumnByColumnAndTheCorpseListStopsAtTen)
{
    Game& g = local_game();
    auto offset = [&](int x, int y) {
        return reinterpret_cast<const char*>(&g.map[x][y]) - reinterpret_cast<const char*>(&g);
    };
    EXPECT_EQ(offset(0, 19) + 40, offset(1, 0));
    EXPECT_EQ(offset(59, 19) + 40, static_cast<long>(offsetof(Game, player)));

    static Game s {};
    for (int i = 0; i <= MAX_CORPSES; ++i)
        add_corpse(s, i, 1, -i, 30, 7, 2);
    EXPECT_EQ(s.corpse_count, MAX_CORPSES);
    EXPECT_EQ(find_corpse_at(s, MAX_CORPSES, 1), nullptr);
    s.corpse_count = -5, s.other_count = 7;  // damaged counts stay inside their arrays
    EXPECT_EQ(corpse_limit(s) * 10 + others_limit(s), MAX_OTHERS);
    EXPECT_EQ(player_by_number(s, 4), nullptr);
}

TEST(Items, LoadedEquipmentIsReleasedOnceAndCatalogueGapsMakeNothing)
{
    Player p {};  // after a load weapon and armor are blocks of their own; ASan checks the rest.
    p.inventory[2] = create_item(ITEM_ARROWS);
    p.weapon = create_item(ITEM_BOW);
    p.armor = create_item(ITEM_LEATHER_ARMOR);
    free_inventory(p);
    EXPECT_TRUE(!p.inventory[2] && !p.armor && !p.weapon);
    set_message(p, "%s", std::string(400, 'x').c_str());
    EXPECT_EQ(std::strlen(p.message), 255u);
    for (int kind : { -1, 7, 8, 11, 16, 1000 })
        EXPECT_EQ(create_item(kind), nullptr) << kind;
}

std::string line_for(std::string_view sender, std::string_view text)
{
    return "\x1b[96m" + std::string(sender) + "\x1b[15C\x1b[97m" + std::string(text);
}

TEST(Chat, TrimsTextNotSenderSkipsBlanksKeepsLastFourInOrderAndCutsLongLines)
{
    auto g = world_test::new_game();
    for (std::string_view blank : { "", "     ", " \t\r\n ", "\r\n" })
        add_chat_message(*g, "Player", blank);
    add_chat_message(*g, "Player", "   hello  \r\n");
    add_chat_message(*g, "[SERVER] ", "\t a  b \t");
    add_chat_message(*g, "x", "\nhi");  // a leading line break is not a blank
    EXPECT_EQ(g->chat_lines[0], line_for("Player", "hello"));
    EXPECT_EQ(g->chat_lines[2], line_for("x", "\nhi"));
    for (const char* text : { "4", "5" })
        add_chat_message(*g, "P", text);
    EXPECT_EQ(g->chat_count, 5) << "blanks add nothing";
    EXPECT_EQ(g->chat_lines[0], line_for("P", "5"));  // the oldest is at slot count % 4
    EXPECT_EQ(g->chat_lines[1], line_for("[SERVER] ", "a  b"));
    add_chat_message(*g, "Player", std::string(250, 'w'));
    add_chat_message(*g, std::string(600, 's'), "x");
    EXPECT_EQ(std::strlen(g->chat_lines[1]) + std::strlen(g->chat_lines[2]), 510u);

    g->chat_count = INT_MAX;  // a damaged count from a loaded record stays inside the ring
    for (const char* text : { "three", "zero" })
        add_chat_message(*g, "P", text);
    EXPECT_EQ(g->chat_lines[3], line_for("P", "three"));
    EXPECT_EQ(g->chat_lines[0], line_for("P", "zero"));
}

}  // namespace
