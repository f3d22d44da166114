#include <gtest/gtest.h>
#include <functional>
#include <memory>
#include <openssl/evp.h>
#include <sys/stat.h>
#include "files/files.hpp"
#include "save/snapshot.hpp"
#include "save/save_fixtures.hpp"
#include "support/test_support.hpp"
#include "world/items.hpp"

namespace {

constexpr std::size_t RECORD = 16, SEATS = RECORD + sizeof(Game), ITEMS = SEATS + 4 * sizeof(SeatRecord);

// The digest over everything before it, put back after a test's edit, so that
// only the checks behind the digest can refuse the file.
void reseal(std::string& f)
{
    unsigned int len = 0;
    f.resize(f.size() - 32);
    unsigned char md[32];
    EVP_Digest(f.data(), f.size(), md, &len, EVP_sha256(), nullptr);
    f.append(reinterpret_cast<const char*>(md), 32);
}

class Snapshot : public ::testing::Test {
protected:
    void SetUp() override
    {
        save_test::build_full_world(g), save_test::build_busy_game(target, 99);
        copy_world(g, *snap), snap->saved_at = 1700000000;
        // An account registered from line-mode telnet keeps its CR: seats must still load.
        const char* names[][2] = { { "ann", "Ann" }, { "bob", "Bob" }, { "cy", "Cy \xc3\xa9" }, { "dee\r", "Dee" } };
        for (int k = 0; k < 4; ++k) {
            copy_text(snap->seats[k].account, names[k][0]), copy_text(snap->seats[k].chat_name, names[k][1]);
            snap->seats[k].held = k % 2, snap->seats[k].hold_left = 100 * k;
        }
        bytes = encode_snapshot(*snap);
    }
    void TearDown() override { save_test::reset_game(g), save_test::reset_game(target); }
    SnapshotResult decode(const std::string& f)
    {
        return decode_snapshot({ reinterpret_cast<const unsigned char*>(f.data()), f.size() }, *out);
    }

    inline static Game g {}, target {};
    std::unique_ptr<WorldSnapshot> snap = std::make_unique<WorldSnapshot>(), out = std::make_unique<WorldSnapshot>();
    std::string bytes;
};

bool same_item(const Item* a, const Item* b) { return a && b && std::memcmp(a, b, sizeof(Item)) == 0; }

TEST_F(Snapshot, FourPlayersItemsSeatsAndSharedEquipmentRoundTripThroughTheFile)
{
    test::TempDir dir;
    const std::string path = dir.file("world.dat");
    ASSERT_TRUE(write_file_atomically(path, bytes, 0600));
    struct stat st {};
    EXPECT_TRUE(stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
    ASSERT_EQ(read_snapshot_file(path, *out), SNAPSHOT_OK);
    EXPECT_EQ(out->saved_at, 1700000000);
    EXPECT_EQ(std::memcmp(out->seats, snap->seats, sizeof snap->seats), 0);
    ASSERT_TRUE(restore_world(*out, target));
    EXPECT_EQ(target.monster_count, MAX_MONSTERS);
    EXPECT_EQ(std::memcmp(&target.map, &g.map, sizeof g.map), 0);
    for (int k = 0; k < MAX_PLAYERS; ++k) {
        SCOPED_TRACE(k);
        const Player &was = *player_by_number(g, k), &now = *player_by_number(target, k);
        EXPECT_EQ(std::memcmp(now.message, was.message, sizeof was.message), 0);
        for (int slot = 0; slot < INVENTORY_SLOTS; ++slot)
            EXPECT_TRUE(same_item(now.inventory[slot], was.inventory[slot]) && now.inventory[slot] != was.inventory[slot]);
        EXPECT_TRUE(same_item(now.weapon, was.weapon) && same_item(now.armor, was.armor));
    }
    // Equipment that was one of the inventory items still is; a block of its own stays one.
    EXPECT_TRUE(target.player.weapon == target.player.inventory[0] && target.others[1].armor == target.others[1].inventory[2]);
    EXPECT_TRUE(std::find(std::begin(target.others[2].inventory), std::end(target.others[2].inventory), target.others[2].weapon)
                == std::end(target.others[2].inventory));
    // No heap address of this process goes into the file.
    Game record;
    std::memcpy(&record, bytes.data() + RECORD, sizeof record);
    EXPECT_TRUE(record.player.inventory[0] == nullptr && record.others[2].weapon == nullptr);
}

TEST_F(Snapshot, DamagedForeignAndNewerFilesAreToldApart)
{
    using Damage = std::function<void(std::string&)>;
    auto sealed = [](Damage d) -> Damage { return [=](std::string& f) { d(f), reseal(f); }; };
    auto set32 = [](std::size_t at, std::int32_t v) { return [=](std::string& f) { std::memcpy(&f[at], &v, 4); }; };
    const std::size_t seat2 = SEATS + 2 * sizeof(SeatRecord), player3 = RECORD + offsetof(Game, others) + 2 * sizeof(Player);
    const std::pair<const char*, SnapshotResult> expected[] = {
        { "version 2", SNAPSHOT_UNKNOWN_VERSION }, { "version 0", SNAPSHOT_UNKNOWN_VERSION }, { "magic", SNAPSHOT_FOREIGN },
        { "a save file", SNAPSHOT_FOREIGN },
    };
    const std::pair<const char*, Damage> cases[] = {
        { "version 2", sealed(set32(4, 2)) },
        { "version 0", sealed(set32(4, 0)) },
        { "magic", [](std::string& f) { f[3] = 'S'; } },
        { "a save file", [](std::string& f) { f.replace(0, 4, "DLVS"); } },
        { "empty", [](std::string& f) { f.clear(); } },
        { "truncated", [](std::string& f) { f.resize(f.size() / 2); } },
        { "one byte short", [](std::string& f) { f.pop_back(); } },
        { "one flipped bit", [](std::string& f) { f[RECORD + 5000] ^= 1; } },
        { "trailing byte", sealed([](std::string& f) { f.insert(f.size() - 32, 1, '\0'); }) },
        { "last item cut", sealed([](std::string& f) { f.erase(f.size() - 33, 1); }) },
        { "monster_count 61", sealed(set32(RECORD + offsetof(Game, monster_count), 61)) },
        { "player off the map", sealed(set32(player3 + offsetof(Player, x), MAP_WIDTH)) },
        { "other_count 1 with four seats", sealed(set32(RECORD + offsetof(Game, other_count), 1)) },
        { "escape in a chat name", sealed([=](std::string& f) { f[seat2 + SEAT_NAME_LEN] = '\x1b'; }) },
        { "account unterminated", sealed([=](std::string& f) { std::memset(&f[seat2], 'a', SEAT_NAME_LEN); }) },
        { "held 2", sealed(set32(seat2 + 2 * SEAT_NAME_LEN, 2)) },
        { "presence byte 2", sealed([](std::string& f) { f[ITEMS] = 2; }) },
        { "carried kind 11", sealed(set32(ITEMS + 1, 11)) },
        { "weapon names an empty slot", sealed([](std::string& f) { f[ITEMS] = 0, f.erase(ITEMS + 1, sizeof(Item)); }) },
    };
    for (const auto& [what, damage] : cases) {
        SCOPED_TRACE(what);
        std::string f = bytes;
        damage(f);
        SnapshotResult want = SNAPSHOT_DAMAGED;
        for (const auto& [name, result] : expected)
            want = std::string_view(name) == what ? result : want;
        EXPECT_EQ(decode(f), want);
    }
    EXPECT_EQ(decode(bytes), SNAPSHOT_OK) << "the cases edited copies only";
}

TEST_F(Snapshot, ClosedSlotsCarryNothingAndFilesThatCannotBeReadSaySo)
{
    // Items for a slot nobody plays would be owned by nobody.
    std::unique_ptr<WorldSnapshot> closed = std::make_unique<WorldSnapshot>(*snap);
    closed->game.other_count = 2, closed->seats[3] = SeatRecord {};
    EXPECT_EQ(decode(encode_snapshot(*closed)), SNAPSHOT_DAMAGED);
    closed->carried[3] = CarriedRecord { {}, {}, EQUIP_NONE, EQUIP_NONE, {}, {} };
    EXPECT_EQ(decode(encode_snapshot(*closed)), SNAPSHOT_OK);
    std::swap(closed->seats[1], closed->seats[3]);  // seat k is player k's: no gaps
    EXPECT_EQ(decode(encode_snapshot(*closed)), SNAPSHOT_DAMAGED);
    // copy_world leaves closed slots empty, and an unseated world (nobody joined) is sound.
    target.other_count = 0, copy_world(target, *closed), std::memset(closed->seats, 0, sizeof closed->seats);
    EXPECT_EQ(decode(encode_snapshot(*closed)), SNAPSHOT_OK);

    test::TempDir dir;
    EXPECT_EQ(read_snapshot_file(dir.file("world.dat"), *out), SNAPSHOT_MISSING);
    EXPECT_EQ(read_snapshot_file(dir.path(), *out), SNAPSHOT_UNREADABLE);
    test::write_file(dir.file("big"), bytes + std::string(70000, 'x'));
    EXPECT_EQ(read_snapshot_file(dir.file("big"), *out), SNAPSHOT_DAMAGED);
    EXPECT_STREQ(snapshot_result_name(SNAPSHOT_UNKNOWN_VERSION), "unknown version");
}

}  // namespace
