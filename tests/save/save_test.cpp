#include <gtest/gtest.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include "save/save.hpp"
#include "save/save_fixtures.hpp"
#include "support/test_support.hpp"
#include "term/term.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace {

using save_test::patch;
constexpr std::size_t RECORD = 16;
bool same_item(const Item* a, const Item* b) { return a && b && std::memcmp(a, b, sizeof(Item)) == 0; }

// g is saved; target (another level, with items of its own to release) is loaded into.
class Save : public ::testing::Test {
protected:
    Save() : cd(dir.path()) {}
    void SetUp() override
    {
        save_test::build_busy_game(g), save_test::build_busy_game(target, 99);
        target.other_count = 2, target.others[1].inventory[2] = create_item(ITEM_CANOE);
    }
    void TearDown() override { save_test::reset_game(g), save_test::reset_game(target), set_server_mode(0), set_output_fd(-1); }
    std::string written() { return write_save_file("game.sav", g, g.player) == 0 ? test::read_file("game.sav") : ""; }
    int load(const char* path = "game.sav") { return read_save_file(path, target, target.player); }
    static void set_mtime(const std::string& path, std::time_t t)
    {
        const timespec times[2] = { { t, 0 }, { t, 0 } };
        EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    void write_level(const std::string& path, int level, std::time_t mtime)
    {
        EXPECT_EQ((g.level = level, write_save_file(path.c_str(), g, g.player)), 0);
        set_mtime(path, mtime);
    }
    std::string message() const { return g.player.message; }

    inline static Game g {}, target {};
    test::TempDir dir;
    test::ScopedChdir cd;
};

TEST_F(Save, BusyGameRoundTripsWithSeparateCopiesOfEquippedItems)
{
    auto before = std::make_unique<Game>(g);
    written();
    EXPECT_EQ(std::memcmp(before.get(), &g, sizeof g), 0) << "saving changed the game";
    ASSERT_EQ(load(), 0);
    const Player& p = target.player;
    EXPECT_TRUE(same_item(p.weapon, g.player.weapon) && same_item(p.inventory[0], g.player.inventory[0]));
    EXPECT_TRUE(same_item(p.armor, g.player.armor) && p.weapon != p.inventory[0] && p.armor != p.inventory[4]);
    EXPECT_TRUE(p.inventory[3] && p.inventory[3]->quantity == 137 && !p.inventory[1]);
    // The rest of the record comes back whole, and every other player's items empty.
    auto loaded = std::make_unique<Game>(target);
    auto blank = [](Player& q) { std::memset(q.inventory, 0, sizeof q.inventory), q.weapon = q.armor = nullptr; };
    for (int k = 0; k < MAX_PLAYERS; ++k)
        blank(*player_by_number(*before, k));
    blank(loaded->player);
    EXPECT_EQ(std::memcmp(before.get(), loaded.get(), sizeof(Game)), 0);
}

TEST_F(Save, LayoutIsPinnedByteForByteAndAFreshGameIsTheMinimumPlusTheShop)
{
    const std::time_t t0 = std::time(nullptr);
    const std::string f = written();
    const char* b = f.data();
    std::int64_t t = 0;
    std::int32_t level = 0, stairs_x = 0;
    std::memcpy(&t, b + 8, 8), std::memcpy(&level, b + RECORD + 60624, 4), std::memcpy(&stairs_x, b + RECORD + 60640, 4);
    EXPECT_EQ(f.substr(0, 8), std::string("DLVS\x01\0\0\0", 8));
    EXPECT_TRUE(t >= t0 && t <= std::time(nullptr) && level == 3 && stairs_x == g.stairs_x);
    std::size_t at = RECORD;
    auto block = [&](const void* data, std::size_t n) { EXPECT_EQ(std::memcmp(b + at, data, n), 0) << at; at += n; };
    block(&g, 61720), block(g.map, 48000), block(g.monsters, 76u * g.monster_count);
    block(g.floor_items, 92u * g.floor_item_count), block(g.projectiles, 240), block(g.stores, 288);
    block(g.corpses, 56), block(g.others, 888);
    for (int i = 0; i < 12; ++i) {  // inventory, weapon, armour: a non-zero word, then the item
        const Item* item = i < 10 ? g.player.inventory[i] : i == 10 ? g.player.weapon : g.player.armor;
        EXPECT_EQ(std::string_view(b + at, 8) != std::string_view("\0\0\0\0\0\0\0\0", 8), item != nullptr);
        if (at += 8; item)
            block(item, 92);
    }
    EXPECT_EQ(at, f.size());
    save_test::reset_game(g), g.level = 1, generate_level(g), g.monster_count = g.floor_item_count = 0;
    EXPECT_EQ(g.store_count, 1);
    EXPECT_EQ(written().size(), 110072u + 288);
}

TEST_F(Save, DamagedFilesAreRefusedWithoutTouchingTheGame)
{
    const std::string good = written();
    const std::size_t pl = offsetof(Game, player);
    const std::size_t mon = offsetof(Game, monsters), item = offsetof(Game, floor_items) + 92;
    const std::size_t shop = offsetof(Game, stores), sword = good.size() - 12 * 8 - 5 * 92 + 8;
    using Damage = std::function<void(std::string&)>;
    auto set32 = [](std::size_t off, std::int32_t v) -> Damage { return [=](std::string& f) { patch(f, off, v); }; };
    auto fill = [](std::size_t off, std::size_t n) -> Damage {
        return [=](std::string& f) { for (std::size_t i = 0; i < n; ++i) patch(f, off + i, 'x'); };
    };
    // A count past its array, with the zero entries it asks for, so only the count check refuses it.
    auto grow = [](std::size_t count_at, std::size_t array_at, std::int32_t count, std::size_t size) -> Damage {
        return [=](std::string& f) {
            std::int32_t now = 0;
            const std::size_t end = (std::memcpy(&now, &f[RECORD + count_at], 4), save_test::copies_of(f, array_at + size * (now - 1)).back());
            patch(f, count_at, count), f.insert(end + size, size * (count - now), '\0');
        };
    };
    const std::pair<const char*, Damage> cases[] = {
        { "version 2", [](std::string& f) { f[4] = 2; } },  // -3; every other case -2
        { "magic", [](std::string& f) { f[3] = 'X'; } },
        { "empty", [](std::string& f) { f.clear(); } },
        { "one byte short", [](std::string& f) { f.pop_back(); } },
        { "monster_count 61", grow(offsetof(Game, monster_count), mon, 61, 76) },
        { "floor_item_count 41", grow(offsetof(Game, floor_item_count), item - 92, 41, 92) },
        { "store_count 2", grow(offsetof(Game, store_count), shop, 2, 288) },
        { "corpse_count 11", grow(offsetof(Game, corpse_count), offsetof(Game, corpses), 11, 28) },
        { "other_count 4", grow(offsetof(Game, other_count), offsetof(Game, others), 4, 888) },
        { "corpse_count -1", set32(offsetof(Game, corpse_count), -1) },
        { "chat_count -1", set32(offsetof(Game, chat_count), -1) },
        { "spell_count 6", set32(pl + offsetof(Player, spell_count), 6) },
        { "spell_count -1", set32(pl + offsetof(Player, spell_count), -1) },
        { "stock_count 4", set32(shop + offsetof(Store, stock_count), 4) },
        { "follow_target 4", set32(pl + offsetof(Player, follow_target), 4) },
        { "follow_target -2", set32(pl + offsetof(Player, follow_target), -2) },
        { "ally_controller 4", set32(offsetof(Game, ally_controller), 4) },
        { "ally_controller -2", set32(offsetof(Game, ally_controller), -2) },
        { "controlled_ally = monster_count", set32(offsetof(Game, controlled_ally), g.monster_count) },
        { "controlled_ally -2", set32(offsetof(Game, controlled_ally), -2) },
        { "message", fill(pl + offsetof(Player, message), MESSAGE_LEN) },
        { "player colour", fill(pl + offsetof(Player, color), COLOR_LEN) },
        { "other's message", fill(offsetof(Game, others) + offsetof(Player, message), MESSAGE_LEN) },
        { "spell name", fill(pl + offsetof(Player, spells) + offsetof(Spell, name), SPELL_NAME_LEN) },
        { "floor item name", fill(item + offsetof(Item, name), ITEM_NAME_LEN) },
        { "map colour", fill(offsetof(Cell, color) + 40 * 77, COLOR_LEN) },
        { "monster colour", fill(mon + offsetof(Monster, color), COLOR_LEN) },
        { "projectile colour", fill(offsetof(Game, projectiles) + offsetof(Projectile, color), COLOR_LEN) },
        { "chat line", fill(offsetof(Game, chat_lines) + CHAT_LINE_LEN, CHAT_LINE_LEN) },
        { "carried name", [=](std::string& f) { std::memset(&f[sword + offsetof(Item, name)], 'x', ITEM_NAME_LEN); } },
        { "carried colour", [=](std::string& f) { std::memset(&f[sword + offsetof(Item, color)], 'x', COLOR_LEN); } },
        { "carried kind 11", [=](std::string& f) { f[sword] = 11; } },
        { "floor item kind 7", set32(item + offsetof(Item, kind), 7) },
        { "shop good kind 16", set32(shop + 92 + offsetof(Item, kind), 16) },
        { "player x", set32(pl + offsetof(Player, x), MAP_WIDTH) },
        { "other y", set32(offsetof(Game, others) + offsetof(Player, y), -1) },
        { "monster y", set32(mon + offsetof(Monster, y), MAP_HEIGHT) },
        { "floor item x", set32(item + offsetof(Item, x), 60) },
        { "shop x", set32(shop + offsetof(Store, x), -5) },
        { "stairs y", set32(offsetof(Game, stairs_y), 20) },
        { "corpse x", set32(offsetof(Game, corpses) + 28 + offsetof(Corpse, x), MAP_WIDTH) },
        { "pending teleport x", [=](std::string& f) { patch(f, offsetof(Game, teleport_pending), 1), patch(f, offsetof(Game, teleport_x), -1); } },
    };
    auto before = std::make_unique<Game>(target);
    const Item carried = *target.player.inventory[0];
    for (const auto& [what, damage] : cases) {
        SCOPED_TRACE(what);
        std::string f = good;
        damage(f), test::write_file("game.sav", f);
        EXPECT_EQ(load(), &what == &cases[0].first ? -3 : -2);
        EXPECT_EQ(std::memcmp(before.get(), &target, sizeof target), 0);
        EXPECT_TRUE(same_item(target.player.inventory[0], &carried));
    }
    EXPECT_TRUE(load("missing.sav") == -1 && load(".") == -1);
    EXPECT_EQ(std::memcmp(before.get(), &target, sizeof target), 0);
    // The blocks after the record win over the record's own copy.
    std::string f = good;
    const auto hp = save_test::copies_of(f, offsetof(Game, monsters) + offsetof(Monster, hp));
    f[hp.at(0)] = 1, f[hp.at(1)] = 42, test::write_file("game.sav", f);
    ASSERT_EQ(load(), 0);
    EXPECT_EQ(target.monsters[0].hp, 42);
}

// Regression: a file with bytes after its last item slot was refused. Numbers
// that index nothing load as they are; play saturates them.
TEST_F(Save, TrailingBytesAndNumbersAtTheInt32LimitsLoad)
{
    g.turn = g.level = INT32_MAX, g.player.hp = g.monsters[0].gold = g.stores[0].stock[0].value = INT32_MIN;
    test::write_file("game.sav", written() + std::string(1000, 'x'));
    ASSERT_EQ(load(), 0);
    EXPECT_TRUE(same_item(target.player.armor, g.player.armor)) << "the last slot";
    const Game& t = target;
    EXPECT_EQ(std::tuple(t.turn, t.level, t.player.hp, t.monsters[0].gold, t.stores[0].stock[0].value),
              std::tuple(INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN, INT32_MIN));
}

TEST_F(Save, CommandsLoadTheNewestFileWithAStatusLineOnlyOnTheServer)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    fflush(stdout);
    const int old_stdout = dup(1);
    dup2(fds[1], 1), save_game(g, g.player), g.turn = 999;
    const std::string saved = message();
    load_game(g, g.player), fflush(stdout), dup2(old_stdout, 1), close(old_stdout), close(fds[1]);
    char c;
    EXPECT_LE(read(fds[0], &c, 1), 0) << "a status line in local play";
    close(fds[0]);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(saved, m, std::regex("\x1b\\[32mGame saved successfully to (saves/save_\\d{8}_\\d{6}\\.sav)\x1b\\[0m")));
    EXPECT_EQ(message(), "\x1b[32mGame loaded from " + m[1].str() + "\x1b[0m");
    EXPECT_EQ(g.turn, 77);
    // Newest by modification time, whatever the name; a "saves/" path past 255 characters is skipped.
    set_mtime(m[1].str(), 100);
    const std::tuple<std::string, int, std::time_t, int> steps[] = { { "saves/a.sav", 5, 2000, 5 }, { "saves/z.sav", 9, 1000, 5 },
        { "saves/z.sav", 9, 3000, 9 }, { "saves/notes.sav.txt", 6, 4000, 6 }, { "saves/" + std::string(245, 'n') + ".sav", 7, 5000, 7 },
        { "saves/" + std::string(246, 'n') + ".sav", 8, 6000, 7 } };
    for (const auto& [name, level, mtime, expected] : steps) {
        write_level(name, level, mtime), load_game(g, g.player);
        EXPECT_EQ(g.level, expected) << name;
    }
    // On the server the acting client sees each step at once.
    auto status = [](const std::string& text) { return "\x1b[27;1H" + std::string(50, ' ') + "\x1b[27;1H\x1b[33m" + text + "\x1b[0m"; };
    test::SocketPair client;
    set_server_mode(1), set_output_fd(client.ours), save_game(g, g.player);
    const std::string saved_here = message();
    load_game(g, g.player);
    EXPECT_EQ(test::read_available(client.peer, 100), status("Saving game...") + status(saved_here) + status("Loading game...") + status(message()));
}

TEST_F(Save, EveryFailureHasItsMessageAndChangesNothing)
{
    load_game(g, g.player);
    EXPECT_EQ(message(), "No saves directory found!");
    mkdir("saves", 0755), test::write_file("saves/readme.txt", "not a save"), load_game(g, g.player);
    EXPECT_EQ(message(), "No save files found!");
    write_level("saves/good.sav", 4, 1000);
    const std::string v2 = test::read_file("saves/good.sav").replace(4, 1, 1, '\2');
    auto before = std::make_unique<Game>(g);
    const std::tuple<const char*, std::function<void(const char*)>, const char*> cases[] = {
        { "saves/notes.sav.txt", [](const char* p) { test::write_file(p, "shopping list"); }, "Invalid save file format!" },
        { "saves/v2.sav", [&](const char* p) { test::write_file(p, v2); }, "Unsupported save file version!" },
        { "saves/folder.sav", [](const char* p) { mkdir(p, 0755); }, "Failed to load save file!" },
        { "saves/pipe.sav", [](const char* p) { mkfifo(p, 0644); }, "Failed to load save file!" },  // must not block
    };
    std::time_t t = 2000;
    for (const auto& [name, make, text] : cases) {
        make(name), set_mtime(name, t++), copy_text(before->player.message, text), load_game(g, g.player);
        EXPECT_EQ(std::memcmp(before.get(), &g, sizeof g), 0) << name << ": " << message();
    }
    // A failed save keeps the earlier one and leaves no temporary file.
    const std::string earlier = test::read_file("saves/good.sav");
    rlimit old {}, small {};  // a full disk, made with a file size limit that holds even for root
    getrlimit(RLIMIT_FSIZE, &old), small = old, small.rlim_cur = 50000;
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small), save_game(g, g.player), setrlimit(RLIMIT_FSIZE, &old), std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(message(), "Failed to save game!");
    EXPECT_TRUE(test::read_file("saves/good.sav") == earlier);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("saves"), {}), 6) << "a temporary file is left";
}

// The server saves for the player who pressed 'S'; local play loads those items into player 0, and back.
TEST_F(Save, ServerSaveLoadsInLocalPlayAndBack)
{
    Game &server = server_game(), &local = local_game();
    save_test::build_busy_game(server), save_test::build_busy_game(local, 3);
    Player& second = server.others[1];
    server.other_count = 2, second.alive = 1, second.x = second.y = 3, second.inventory[5] = create_item(ITEM_STONES);
    second.inventory[5]->quantity = 12;
    ASSERT_EQ(write_save_file("server.sav", server, second), 0);
    ASSERT_EQ(read_save_file("server.sav", local, local.player), 0);
    EXPECT_TRUE(local.other_count == 2 && local.player.inventory[5] && local.player.inventory[5]->quantity == 12);
    EXPECT_TRUE(!local.player.inventory[0] && !local.others[1].inventory[5]);
    ASSERT_EQ((local.turn = 4321, write_save_file("local.sav", local, local.player)), 0);
    ASSERT_EQ(read_save_file("local.sav", server, server.others[0]), 0);
    EXPECT_TRUE(server.turn == 4321 && !server.player.inventory[0] && server.others[0].inventory[5]);
    save_test::reset_game(server), save_test::reset_game(local);
}

}  // namespace
