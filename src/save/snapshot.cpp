// world.dat: header, record, seats, carried items, and a SHA-256 over all of
// them as the last 32 bytes. The digest always ends the file, in every
// version, so damage is told from a newer layout before the layout is read.
#include "save/snapshot.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include "files/files.hpp"
#include "save/checks.hpp"
#include "text/sanitize.hpp"
#include "world/items.hpp"

// The record is copied as it lies in memory and the file is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr std::size_t HEADER_SIZE = 16;
constexpr std::size_t DIGEST_SIZE = 32;
constexpr std::size_t SEATS_SIZE = sizeof(SeatRecord) * MAX_PLAYERS;
// Per player: a presence byte per slot and a reference byte per equipment
// piece, each followed by an item when there is one.
constexpr std::size_t MAX_CARRIED_SIZE = MAX_PLAYERS * (INVENTORY_SLOTS + 2) * (1 + sizeof(Item));
constexpr std::size_t MAX_SNAPSHOT_SIZE = HEADER_SIZE + sizeof(Game) + SEATS_SIZE + MAX_CARRIED_SIZE + DIGEST_SIZE;

static_assert(sizeof(SeatRecord) == 136);

// ---- copying under the lock ----

std::int32_t equip_ref(const Player& p, const Item* equipped)
{
    if (!equipped)
        return EQUIP_NONE;
    for (int slot = 0; slot < INVENTORY_SLOTS; ++slot) {
        if (p.inventory[slot] == equipped)
            return slot;
    }
    return EQUIP_OWN;
}

void copy_carried(const Player& p, CarriedRecord& out)
{
    for (int slot = 0; slot < INVENTORY_SLOTS; ++slot) {
        out.present[slot] = p.inventory[slot] != nullptr;
        if (p.inventory[slot])
            out.inventory[slot] = *p.inventory[slot];
    }
    out.weapon_ref = equip_ref(p, p.weapon);
    out.armor_ref = equip_ref(p, p.armor);
    if (out.weapon_ref == EQUIP_OWN)
        out.weapon = *p.weapon;
    if (out.armor_ref == EQUIP_OWN)
        out.armor = *p.armor;
}

void clear_references(Player& p)
{
    std::fill(std::begin(p.inventory), std::end(p.inventory), nullptr);
    p.weapon = nullptr;
    p.armor = nullptr;
}

// ---- encoding ----

void append(std::string& out, const void* data, std::size_t n) { out.append(static_cast<const char*>(data), n); }

void append_item(std::string& out, std::int8_t tag, const Item* item)
{
    append(out, &tag, 1);
    if (item)
        append(out, item, sizeof *item);
}

void append_carried(std::string& out, const CarriedRecord& c)
{
    for (int slot = 0; slot < INVENTORY_SLOTS; ++slot)
        append_item(out, c.present[slot] ? 1 : 0, c.present[slot] ? &c.inventory[slot] : nullptr);
    append_item(out, static_cast<std::int8_t>(c.weapon_ref), c.weapon_ref == EQUIP_OWN ? &c.weapon : nullptr);
    append_item(out, static_cast<std::int8_t>(c.armor_ref), c.armor_ref == EQUIP_OWN ? &c.armor : nullptr);
}

bool sha256(const void* data, std::size_t n, unsigned char (&digest)[DIGEST_SIZE])
{
    unsigned int len = 0;
    return EVP_Digest(data, n, digest, &len, EVP_sha256(), nullptr) == 1 && len == DIGEST_SIZE;
}

// ---- decoding ----

class Reader {
public:
    explicit Reader(std::span<const unsigned char> bytes) : m_bytes(bytes) {}
    bool take(void* dst, std::size_t n)
    {
        if (m_bytes.size() - m_pos < n)
            return false;
        std::memcpy(dst, m_bytes.data() + m_pos, n);
        m_pos += n;
        return true;
    }
    bool done() const { return m_pos == m_bytes.size(); }

private:
    std::span<const unsigned char> m_bytes;
    std::size_t m_pos { 0 };
};

bool read_ref(Reader& in, std::int32_t& ref, Item& own)
{
    std::int8_t tag = 0;
    if (!in.take(&tag, 1) || tag < EQUIP_NONE || tag > EQUIP_OWN)
        return false;
    ref = tag;
    return ref != EQUIP_OWN || in.take(&own, sizeof own);
}

bool read_carried(Reader& in, CarriedRecord& c)
{
    for (int slot = 0; slot < INVENTORY_SLOTS; ++slot) {
        std::uint8_t tag = 0;
        if (!in.take(&tag, 1) || tag > 1)
            return false;
        c.present[slot] = tag;
        if (tag && !in.take(&c.inventory[slot], sizeof(Item)))
            return false;
    }
    return read_ref(in, c.weapon_ref, c.weapon) && read_ref(in, c.armor_ref, c.armor);
}

// Version 1: the record, the seats, then four players' items.
bool read_body_v1(Reader& in, WorldSnapshot& out)
{
    if (!in.take(&out.game, sizeof out.game) || !in.take(out.seats, sizeof out.seats))
        return false;
    for (CarriedRecord& c : out.carried) {
        if (!read_carried(in, c))
            return false;
    }
    return in.done();
}

bool equipment_ok(const CarriedRecord& c, std::int32_t ref, const Item& own)
{
    if (ref == EQUIP_OWN)
        return loaded_item_ok(own);
    return ref == EQUIP_NONE || c.present[ref];
}

bool carried_ok(const CarriedRecord& c)
{
    for (int slot = 0; slot < INVENTORY_SLOTS; ++slot) {
        if (c.present[slot] && !loaded_item_ok(c.inventory[slot]))
            return false;
    }
    return equipment_ok(c, c.weapon_ref, c.weapon) && equipment_ok(c, c.armor_ref, c.armor);
}

bool carries_nothing(const CarriedRecord& c)
{
    return std::none_of(std::begin(c.present), std::end(c.present), [](std::int32_t p) { return p != 0; })
        && c.weapon_ref == EQUIP_NONE && c.armor_ref == EQUIP_NONE;
}

// Names reach every player's chat: they must be what the server would have
// let in itself.
template <std::size_t N>
bool name_ok(const char (&name)[N])
{
    if (!terminated(name))
        return false;
    std::string_view text(name);
    return sanitize_text(text) == text;
}

// Seats in use come first, one per player slot; the rest are blank.
bool seats_ok(const WorldSnapshot& s)
{
    int in_use = 0;
    for (const SeatRecord& seat : s.seats) {
        // An account name is only compared with a login's, never shown to
        // a player, and users.dat keeps what line-mode telnet sent (its CR).
        if (!terminated(seat.account) || !name_ok(seat.chat_name) || (seat.held != 0 && seat.held != 1))
            return false;
        const bool used = seat.account[0] != '\0';
        if (used && in_use < &seat - s.seats)
            return false;
        if (!used && (seat.chat_name[0] != '\0' || seat.held))
            return false;
        in_use += used ? 1 : 0;
    }
    return in_use == 0 || in_use == s.game.other_count + 1;
}

bool snapshot_ok(const WorldSnapshot& s)
{
    if (!loaded_game_ok(s.game) || !seats_ok(s))
        return false;
    // Only players in play own items; a closed slot's would be lost.
    for (int k = 0; k < MAX_PLAYERS; ++k) {
        const bool in_play = k <= s.game.other_count;
        if (!carried_ok(s.carried[k]) || (!in_play && !carries_nothing(s.carried[k])))
            return false;
    }
    return true;
}

}  // namespace

SnapshotResult decode_snapshot(std::span<const unsigned char> bytes, WorldSnapshot& out)
{
    if (bytes.size() < HEADER_SIZE + DIGEST_SIZE)
        return SNAPSHOT_DAMAGED;
    if (std::memcmp(bytes.data(), SNAPSHOT_MAGIC, sizeof SNAPSHOT_MAGIC) != 0)
        return SNAPSHOT_FOREIGN;
    const std::size_t body = bytes.size() - DIGEST_SIZE;
    unsigned char digest[DIGEST_SIZE];
    if (!sha256(bytes.data(), body, digest) || CRYPTO_memcmp(digest, bytes.data() + body, DIGEST_SIZE) != 0)
        return SNAPSHOT_DAMAGED;
    std::int32_t version = 0;
    std::memcpy(&version, bytes.data() + 4, sizeof version);
    std::memcpy(&out.saved_at, bytes.data() + 8, sizeof out.saved_at);
    Reader in(bytes.subspan(HEADER_SIZE, body - HEADER_SIZE));
    // Each version keeps its reader here for as long as its files may exist.
    bool read = false;
    switch (version) {
    case 1: read = read_body_v1(in, out); break;
    default: return SNAPSHOT_UNKNOWN_VERSION;
    }
    if (!read || !snapshot_ok(out))
        return SNAPSHOT_DAMAGED;
    // References from another process mean nothing here.
    for (int k = 0; k < MAX_PLAYERS; ++k)
        clear_references(*player_by_number(out.game, k));
    return SNAPSHOT_OK;
}

namespace {

// ---- restoring ----

constexpr int BLOCKS = INVENTORY_SLOTS + 2;

void destroy_all(Item* (&blocks)[MAX_PLAYERS][BLOCKS])
{
    for (auto& row : blocks) {
        for (Item*& item : row) {
            destroy_item(item);
            item = nullptr;
        }
    }
}

Item* block_of(const Item& value)
{
    Item* item = create_blank_item();
    if (item)
        *item = value;
    return item;
}

// Blocks 0..9 the inventory, 10 the weapon and 11 the armour when of their own.
bool build_blocks(const CarriedRecord& c, Item* (&row)[BLOCKS])
{
    for (int slot = 0; slot < INVENTORY_SLOTS; ++slot) {
        if (c.present[slot] && !(row[slot] = block_of(c.inventory[slot])))
            return false;
    }
    if (c.weapon_ref == EQUIP_OWN && !(row[INVENTORY_SLOTS] = block_of(c.weapon)))
        return false;
    return c.armor_ref != EQUIP_OWN || (row[INVENTORY_SLOTS + 1] = block_of(c.armor));
}

Item* equipped_block(std::int32_t ref, Item* const (&row)[BLOCKS], int own)
{
    if (ref == EQUIP_NONE)
        return nullptr;
    return ref == EQUIP_OWN ? row[own] : row[ref];
}

void hand_out(Player& p, const CarriedRecord& c, Item* const (&row)[BLOCKS])
{
    std::copy(row, row + INVENTORY_SLOTS, p.inventory);
    p.weapon = equipped_block(c.weapon_ref, row, INVENTORY_SLOTS);
    p.armor = equipped_block(c.armor_ref, row, INVENTORY_SLOTS + 1);
}

}  // namespace

void copy_world(const Game& game, WorldSnapshot& snap)
{
    snap.game = game;
    for (int k = 0; k < MAX_PLAYERS; ++k) {
        CarriedRecord& c = snap.carried[k];
        std::fill(std::begin(c.present), std::end(c.present), 0);
        c.weapon_ref = c.armor_ref = EQUIP_NONE;
        if (k <= others_limit(game))
            copy_carried(*player_by_number(game, k), c);
        // Heap addresses say nothing to the next process and leak the layout of this one.
        clear_references(*player_by_number(snap.game, k));
    }
}

std::string encode_snapshot(const WorldSnapshot& snap)
{
    std::string out;
    out.reserve(MAX_SNAPSHOT_SIZE);
    const std::int32_t version = SNAPSHOT_VERSION;
    append(out, SNAPSHOT_MAGIC, sizeof SNAPSHOT_MAGIC);
    append(out, &version, sizeof version);
    append(out, &snap.saved_at, sizeof snap.saved_at);
    append(out, &snap.game, sizeof snap.game);
    append(out, snap.seats, sizeof snap.seats);
    for (const CarriedRecord& c : snap.carried)
        append_carried(out, c);
    unsigned char digest[DIGEST_SIZE] {};
    // Without a digest no reader would take the file; an empty result says so.
    if (!sha256(out.data(), out.size(), digest))
        return {};
    append(out, digest, sizeof digest);
    return out;
}

const char* snapshot_result_name(SnapshotResult result)
{
    switch (result) {
    case SNAPSHOT_OK: return "sound";
    case SNAPSHOT_MISSING: return "missing";
    case SNAPSHOT_UNREADABLE: return "unreadable";
    case SNAPSHOT_DAMAGED: return "damaged";
    case SNAPSHOT_FOREIGN: return "foreign";
    case SNAPSHOT_UNKNOWN_VERSION: return "unknown version";
    }
    return "unknown";
}

SnapshotResult read_snapshot_file(const std::string& path, WorldSnapshot& out)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? SNAPSHOT_MISSING : SNAPSHOT_UNREADABLE;
    // Larger than any snapshot: not read at all, and set aside like any damage.
    if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > MAX_SNAPSHOT_SIZE)
        return SNAPSHOT_DAMAGED;
    std::optional<std::string> bytes = read_whole_file(path, MAX_SNAPSHOT_SIZE);
    if (!bytes)
        return SNAPSHOT_UNREADABLE;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
    return decode_snapshot(std::span<const unsigned char>(data, bytes->size()), out);
}

bool restore_world(const WorldSnapshot& snap, Game& game)
{
    Item* blocks[MAX_PLAYERS][BLOCKS] = {};
    for (int k = 0; k < MAX_PLAYERS; ++k) {
        if (!build_blocks(snap.carried[k], blocks[k])) {
            destroy_all(blocks);
            return false;
        }
    }
    for (int k = 0; k < MAX_PLAYERS; ++k)
        free_inventory(*player_by_number(game, k));
    game = snap.game;
    for (int k = 0; k < MAX_PLAYERS; ++k)
        hand_out(*player_by_number(game, k), snap.carried[k], blocks[k]);
    return true;
}
