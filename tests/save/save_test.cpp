#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <sys/resource.h>

#include "save/save.hpp"
#include "save/save_fixtures.hpp"
#include "support/test_support.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace {

using save_test::patch;
constexpr std::size_t RECORD = 16;
constexpr std::size_t MIN_FILE = 110072;

// The record with every item reference blanked: what a load must reproduce.
std::unique_ptr<Game> content_of(const Game& g)
{
    auto copy = std::make_unique<Game>(g);
    for (int k = 0; k < MAX_PLAYERS; ++k) {
        Player& p = *player_by_number(*copy, k);
        std::memset(p.inventory, 0, sizeof p.inventory);
        p.weapon = p.armor = nullptr;
    }
    return copy;
}

bool same_item(const Item* a, const Item* b) { return a && b && std::memcmp(a, b, sizeof(Item)) == 0; }

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    return names;
}

class SaveFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        save_test::build_busy_game(saved);
        // The game a load lands in: another level, with items of its own to release.
        save_test::build_busy_game(loaded, 99);
        loaded.other_count = 2;
        loaded.others[1].inventory[2] = create_item(ITEM_CANOE);
        path = dir.file("game.sav");
    }
    void TearDown() override
    {
        save_test::reset_game(saved);
        save_test::reset_game(loaded);
    }
    std::string written()
    {
        EXPECT_EQ(write_save_file(path.c_str(), saved, saved.player), 0);
        return test::read_file(path);
    }

    inline static Game saved {};
    inline static Game loaded {};
    test::TempDir dir;
    std::string path;
};

TEST_F(SaveFile, BusyGameRoundTripsWithSeparateCopiesOfEquippedItems)
{
    auto before = std::make_unique<Game>(saved);
    ASSERT_EQ(write_save_file(path.c_str(), saved, saved.player), 0);
    EXPECT_EQ(std::memcmp(before.get(), &saved, sizeof saved), 0) << "saving changed the game";

    ASSERT_EQ(read_save_file(path.c_str(), loaded, loaded.player), 0);
    EXPECT_EQ(std::memcmp(content_of(saved).get(), content_of(loaded).get(), sizeof(Game)), 0);
    const Player& p = loaded.player;
    EXPECT_TRUE(same_item(p.inventory[0], saved.player.inventory[0]));
    EXPECT_TRUE(same_item(p.weapon, saved.player.weapon));
    EXPECT_TRUE(same_item(p.armor, saved.player.armor));
    EXPECT_NE(p.weapon, p.inventory[0]);
    EXPECT_NE(p.armor, p.inventory[4]);
    EXPECT_NE(p.inventory[0], saved.player.inventory[0]);
    ASSERT_NE(p.inventory[3], nullptr);
    EXPECT_EQ(p.inventory[3]->quantity, 137);
    EXPECT_EQ(p.inventory[1], nullptr);
    // The bow of the other player was only a reference into the saving process.
    for (const Player& o : loaded.others) {
        for (const Item* item : o.inventory)
            EXPECT_EQ(item, nullptr);
        EXPECT_EQ(o.weapon, nullptr);
    }
}

TEST_F(SaveFile, LayoutIsPinnedByteForByte)
{
    const std::time_t t0 = std::time(nullptr);
    const std::string f = written();
    const char* b = f.data();
    const Game& g = saved;
    ASSERT_EQ(f.size(), MIN_FILE + 76 * g.monster_count + 92 * g.floor_item_count + 288 + 28 * 2 + 888 + 5 * 92);
    EXPECT_EQ(f.substr(0, 8), std::string("DLVS\x01\0\0\0", 8));
    std::int64_t t = 0;
    std::memcpy(&t, b + 8, 8);
    EXPECT_GE(t, t0);
    EXPECT_LE(t, std::time(nullptr));
    EXPECT_EQ(std::memcmp(b + RECORD, &g, sizeof g), 0);
    std::int32_t level = 0, stairs_x = 0;
    std::memcpy(&level, b + RECORD + 60624, 4);
    std::memcpy(&stairs_x, b + RECORD + 60640, 4);
    EXPECT_EQ(level, 3);
    EXPECT_EQ(stairs_x, g.stairs_x);
    std::size_t at = 61736;
    auto block = [&](const void* data, std::size_t n) {
        EXPECT_EQ(std::memcmp(b + at, data, n), 0) << "block at " << at;
        at += n;
    };
    block(g.map, 48000);
    ASSERT_EQ(at, 109736u);
    block(g.monsters, 76u * g.monster_count);
    block(g.floor_items, 92u * g.floor_item_count);
    block(g.projectiles, 240);
    block(g.stores, 288);
    block(g.corpses, 56);
    block(g.others, 888);
    const Item* slots[12] = {};
    std::copy(std::begin(g.player.inventory), std::end(g.player.inventory), slots);
    slots[10] = g.player.weapon;
    slots[11] = g.player.armor;
    for (const Item* item : slots) {
        std::uint64_t word = 0;
        std::memcpy(&word, b + at, 8);
        at += 8;
        EXPECT_EQ(word != 0, item != nullptr);
        if (item)
            block(item, 92);
    }
    EXPECT_EQ(at, f.size());
}

TEST_F(SaveFile, FreshGameWithOneShopIsMinimumSizePlusTheShop)
{
    save_test::reset_game(saved);
    saved.level = 1;
    generate_level(saved);
    saved.monster_count = saved.floor_item_count = 0;
    ASSERT_EQ(saved.store_count, 1);
    EXPECT_EQ(written().size(), MIN_FILE + 288);
}

// Every damaged file is refused and leaves the game, carried items included,
// exactly as it was.
TEST_F(SaveFile, DamagedFilesAreRefusedWithoutTouchingTheGame)
{
    const std::string good = written();
    const std::size_t pl = offsetof(Game, player), o1 = offsetof(Game, others) + sizeof(Player);
    const std::size_t slot0 = good.size() - 12 * 8 - 5 * 92 + 8;  // the sword in slot 0
    auto set32 = [](std::size_t off, std::int32_t v) { return [=](std::string& f) { patch(f, off, v); }; };
    // Sets a count past its array and gives its block the zero entries that
    // count asks for, so that nothing but the count check refuses the file.
    auto grow = [](std::size_t count_at, std::size_t array_at, std::int32_t count, std::size_t element) {
        return [=](std::string& f) {
            std::int32_t now = 0;
            std::memcpy(&now, f.data() + RECORD + count_at, 4);
            const std::size_t block_end = save_test::copies_of(f, array_at + element * (now - 1)).back() + element;
            patch(f, count_at, count);
            f.insert(block_end, element * (count - now), '\0');
        };
    };
    auto fill = [](std::size_t off, std::size_t n) {
        return [=](std::string& f) {
            for (std::size_t i = 0; i < n; ++i)
                patch(f, off + i, 'x');
        };
    };
    const std::size_t mon = offsetof(Game, monsters), item = offsetof(Game, floor_items) + 92;
    const std::size_t shop = offsetof(Game, stores);
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        int result;
    };
    const Case cases[] = {
        { "fourth magic byte", [](std::string& f) { f[3] = 'X'; }, -2 },
        { "version 2", [](std::string& f) { f[4] = 2; }, -3 },
        { "empty file", [](std::string& f) { f.clear(); }, -2 },
        { "header only", [](std::string& f) { f.resize(16); }, -2 },
        { "truncated by one byte", [](std::string& f) { f.pop_back(); }, -2 },
        { "one byte extra", [](std::string& f) { f.push_back('\0'); }, -2 },
        // Each count past its array comes with the bytes it would need, so
        // that only the count check stands between the file and an overrun.
        { "monster_count 61", grow(offsetof(Game, monster_count), mon, 61, 76), -2 },
        { "monster_count -1", set32(offsetof(Game, monster_count), -1), -2 },
        { "floor_item_count 41", grow(offsetof(Game, floor_item_count), item - 92, 41, 92), -2 },
        { "store_count 2", grow(offsetof(Game, store_count), shop, 2, 288), -2 },
        { "corpse_count 11", grow(offsetof(Game, corpse_count), offsetof(Game, corpses), 11, 28), -2 },
        { "other_count 4", grow(offsetof(Game, other_count), offsetof(Game, others), 4, 888), -2 },
        { "chat_count -1", set32(offsetof(Game, chat_count), -1), -2 },
        { "spell_count 6", set32(pl + offsetof(Player, spell_count), 6), -2 },
        { "unused other spell_count -1", set32(o1 + offsetof(Player, spell_count), -1), -2 },
        { "stock_count 4", set32(shop + offsetof(Store, stock_count), 4), -2 },
        { "follow_target 4", set32(pl + offsetof(Player, follow_target), 4), -2 },
        { "follow_target -2", set32(o1 + offsetof(Player, follow_target), -2), -2 },
        { "ally_controller 4", set32(offsetof(Game, ally_controller), 4), -2 },
        { "message unterminated", fill(pl + offsetof(Player, message), MESSAGE_LEN), -2 },
        { "player colour", fill(pl + offsetof(Player, color), COLOR_LEN), -2 },
        { "spell name", fill(o1 + offsetof(Player, spells) + 4, SPELL_NAME_LEN), -2 },
        { "floor item name", fill(item + offsetof(Item, name), ITEM_NAME_LEN), -2 },
        { "shop good colour", fill(shop + offsetof(Item, color), COLOR_LEN), -2 },
        { "chat line", fill(offsetof(Game, chat_lines) + 256, CHAT_LINE_LEN), -2 },
        { "map colour", fill(offsetof(Cell, color) + 40 * 77, COLOR_LEN), -2 },
        { "monster colour", fill(mon + offsetof(Monster, color), COLOR_LEN), -2 },
        { "carried item name",
            [=](std::string& f) { std::memset(f.data() + slot0 + offsetof(Item, name), 'x', ITEM_NAME_LEN); }, -2 },
        { "carried item kind 11", [=](std::string& f) { f[slot0] = 11; }, -2 },
        { "player off the map", set32(pl + offsetof(Player, x), MAP_WIDTH), -2 },
        { "other player off the map", set32(offsetof(Game, others) + offsetof(Player, y), -1), -2 },
        { "monster off the map", set32(mon + offsetof(Monster, y), MAP_HEIGHT), -2 },
        { "floor item off the map", set32(item + offsetof(Item, x), 60), -2 },
        { "floor item kind 7", set32(item + offsetof(Item, kind), 7), -2 },
        { "shop good kind 16", set32(shop + 92 + offsetof(Item, kind), 16), -2 },
        { "shop off the map", set32(shop + offsetof(Store, x), -5), -2 },
        { "stairs off the map", set32(offsetof(Game, stairs_y), 20), -2 },
        { "corpse off the map", set32(offsetof(Game, corpses) + offsetof(Corpse, x), 99), -2 },
        { "controlled ally past monster_count", set32(offsetof(Game, controlled_ally), saved.monster_count), -2 },
        { "teleport target off the map",
            [](std::string& f) {
                patch(f, offsetof(Game, teleport_pending), 1);
                patch(f, offsetof(Game, teleport_x), 60);
            },
            -2 },
        { "controlled ally -2", set32(offsetof(Game, controlled_ally), -2), -2 },
    };
    auto before = std::make_unique<Game>(loaded);
    Item sword = *loaded.player.inventory[0];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string f = good;
        c.damage(f);
        test::write_file(path, f);
        EXPECT_EQ(read_save_file(path.c_str(), loaded, loaded.player), c.result);
        EXPECT_EQ(std::memcmp(before.get(), &loaded, sizeof loaded), 0);
        EXPECT_TRUE(same_item(loaded.player.inventory[0], &sword));
    }
    EXPECT_EQ(read_save_file(dir.file("missing.sav").c_str(), loaded, loaded.player), -1);
    EXPECT_EQ(read_save_file(dir.path().c_str(), loaded, loaded.player), -1);
    EXPECT_EQ(std::memcmp(before.get(), &loaded, sizeof loaded), 0);
    // And the game still loads a good file afterwards.
    test::write_file(path, good);
    EXPECT_EQ(read_save_file(path.c_str(), loaded, loaded.player), 0);
}

// The blocks after the record are read over the places they repeat, so a
// reader that ignored them would load the stale record copy.
TEST_F(SaveFile, BlocksAfterTheRecordOverrideIt)
{
    std::string f = written();
    const std::size_t hp = offsetof(Game, monsters) + offsetof(Monster, hp);
    const auto copies = save_test::copies_of(f, hp);
    ASSERT_EQ(copies.size(), 2u);
    const std::int32_t in_record = 1, in_block = 42;
    std::memcpy(f.data() + copies[0], &in_record, 4);
    std::memcpy(f.data() + copies[1], &in_block, 4);
    test::write_file(path, f);
    ASSERT_EQ(read_save_file(path.c_str(), loaded, loaded.player), 0);
    EXPECT_EQ(loaded.monsters[0].hp, 42);
}

// What no rule reads cannot make a file damaged: a dead monster, a picked-up
// floor item and a closed player slot may hold anything.
TEST_F(SaveFile, FieldsNothingReadsMayHoldAnything)
{
    saved.monsters[1].x = 500;
    saved.floor_items[0].kind = 8;
    Player& closed = saved.others[2];
    closed.alive = 1, closed.x = -300;
    ASSERT_EQ(write_save_file(path.c_str(), saved, saved.player), 0);
    EXPECT_EQ(read_save_file(path.c_str(), loaded, loaded.player), 0);
}

TEST_F(SaveFile, FailedWriteKeepsTheEarlierFileAndLeavesNoTemporary)
{
    const std::string earlier = written();
    saved.turn = 5000;
    const std::string subdir = dir.file("in_the_way.sav");
    std::filesystem::create_directories(subdir + "/x");
    EXPECT_EQ(write_save_file(subdir.c_str(), saved, saved.player), -1);
    EXPECT_EQ(write_save_file(dir.file("missing/game.sav").c_str(), saved, saved.player), -1);
    saved.monster_count = MAX_MONSTERS + 1;
    EXPECT_EQ(write_save_file(path.c_str(), saved, saved.player), -1);
    saved.monster_count = 0;

    // A full disk, made with a file size limit that holds even for root.
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 60000;
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    int result = write_save_file(path.c_str(), saved, saved.player);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(result, -1);
    EXPECT_TRUE(test::read_file(path) == earlier) << "the earlier file changed";
    auto names = entries(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string> { "game.sav", "in_the_way.sav" }));
}

}  // namespace

namespace {

// DELVE_SAVE_SEED_DIR=fuzz/seeds/save regenerates the fuzzer's seed files.
TEST(SaveSeeds, WritesFuzzSeedsWhenAsked)
{
    const char* dir = std::getenv("DELVE_SAVE_SEED_DIR");
    if (!dir)
        GTEST_SKIP() << "DELVE_SAVE_SEED_DIR not set";
    static Game g {};
    save_test::build_busy_game(g);
    EXPECT_EQ(write_save_file((std::string(dir) + "/busy.sav").c_str(), g, g.player), 0);
    save_test::reset_game(g);
    g.level = 1;
    generate_level(g);
    EXPECT_EQ(write_save_file((std::string(dir) + "/fresh.sav").c_str(), g, g.player), 0);
    save_test::reset_game(g);
}

}  // namespace
