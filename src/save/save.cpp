// The save file: a header, the Game record byte for byte, blocks that repeat
// parts of the record, and the saving player's carried items. A file is only
// ever replaced whole, and a loaded file replaces the game only once it has
// been checked from end to end.
#include "save/save.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.hpp"
#include "save/checks.hpp"
#include "term/term.hpp"
#include "world/items.hpp"

// The record is copied as it lies in memory and the file is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr std::size_t HEADER_SIZE = 16;
constexpr std::size_t MAP_BYTES = sizeof(Game::map);
constexpr int ITEM_SLOTS = INVENTORY_SLOTS + 2;

static_assert(MAP_BYTES == 48000);

// Slots 0..9 are the inventory, 10 the weapon, 11 the armour.
Item*& item_slot(Player& p, int slot)
{
    if (slot < INVENTORY_SLOTS)
        return p.inventory[slot];
    return slot == INVENTORY_SLOTS ? p.weapon : p.armor;
}

Item* item_slot(const Player& p, int slot) { return item_slot(const_cast<Player&>(p), slot); }

// ---- writing ----

// The file as a list of pieces that point into the game and the carried
// items, so that a save copies nothing and allocates no large buffer.
class SaveImage {
public:
    SaveImage(const Game& game, const Player& p, std::int64_t saved_at)
    {
        const std::int32_t version = SAVE_VERSION;
        std::memcpy(m_header, SAVE_MAGIC, sizeof SAVE_MAGIC);
        std::memcpy(m_header + 4, &version, sizeof version);
        std::memcpy(m_header + 8, &saved_at, sizeof saved_at);
        add(m_header, sizeof m_header);
        add(&game, sizeof game);
        add(game.map, MAP_BYTES);
        add(game.monsters, sizeof(Monster) * game.monster_count);
        add(game.floor_items, sizeof(Item) * game.floor_item_count);
        add(game.projectiles, sizeof game.projectiles);
        add(game.stores, sizeof(Store) * game.store_count);
        add(game.corpses, sizeof(Corpse) * game.corpse_count);
        add(game.others, sizeof(Player) * game.other_count);
        for (int slot = 0; slot < ITEM_SLOTS; ++slot) {
            const Item* item = item_slot(p, slot);
            // The word only says whether an item follows; its value means nothing outside this process.
            m_words[slot] = reinterpret_cast<std::uintptr_t>(item);
            add(&m_words[slot], sizeof m_words[slot]);
            if (item)
                add(item, sizeof *item);
        }
    }
    SaveImage(const SaveImage&) = delete;
    SaveImage& operator=(const SaveImage&) = delete;

    std::span<const std::string_view> pieces() const { return { m_pieces, static_cast<std::size_t>(m_count) }; }

private:
    void add(const void* data, std::size_t n) { m_pieces[m_count++] = { static_cast<const char*>(data), n }; }

    unsigned char m_header[HEADER_SIZE] {};
    std::uint64_t m_words[ITEM_SLOTS] {};
    std::string_view m_pieces[9 + 2 * ITEM_SLOTS] {};
    int m_count { 0 };
};

// ---- reading ----

// The two sources of save bytes: a buffer (the fuzzer, tests) and an open
// file, which is read straight into the staged record instead of through a
// second buffer. read_up_to gives fewer bytes only at the end or on an error.
class BufferSource {
public:
    explicit BufferSource(std::span<const unsigned char> bytes) : m_bytes(bytes) {}
    std::size_t read_up_to(void* dst, std::size_t n)
    {
        n = std::min(n, m_bytes.size() - m_pos);
        if (n > 0)
            std::memcpy(dst, m_bytes.data() + m_pos, n);
        m_pos += n;
        return n;
    }
    bool failed() const { return false; }

private:
    std::span<const unsigned char> m_bytes;
    std::size_t m_pos { 0 };
};

class FileSource {
public:
    explicit FileSource(int fd) : m_fd(fd) {}
    std::size_t read_up_to(void* dst, std::size_t n)
    {
        char* out = static_cast<char*>(dst);
        std::size_t got = 0;
        while (got < n) {
            ssize_t r = read_some(m_fd, out + got, n - got);
            if (r <= 0) {
                m_failed = m_failed || r < 0;
                break;
            }
            got += static_cast<std::size_t>(r);
        }
        return got;
    }
    bool failed() const { return m_failed; }

private:
    int m_fd;
    bool m_failed { false };
};

template <typename Source>
bool take(Source& in, void* dst, std::size_t n)
{
    return in.read_up_to(dst, n) == n;
}

// What the file holds for the loading player's twelve item slots.
struct CarriedItems {
    Item items[ITEM_SLOTS] {};
    bool present[ITEM_SLOTS] {};
};

// Reads the record and every block after it. The blocks land on the places
// of the record they repeat, sized by the counts of the record just read.
// Reading stops after the last item slot: whatever follows is not looked at.
template <typename Source>
bool parse_save(Source& in, Game& staged, CarriedItems& carried)
{
    if (!take(in, &staged, sizeof staged) || !counts_in_range(staged))
        return false;
    bool ok = take(in, staged.map, MAP_BYTES)
        && take(in, staged.monsters, sizeof(Monster) * staged.monster_count)
        && take(in, staged.floor_items, sizeof(Item) * staged.floor_item_count)
        && take(in, staged.projectiles, sizeof staged.projectiles)
        && take(in, staged.stores, sizeof(Store) * staged.store_count)
        && take(in, staged.corpses, sizeof(Corpse) * staged.corpse_count)
        && take(in, staged.others, sizeof(Player) * staged.other_count);
    for (int slot = 0; ok && slot < ITEM_SLOTS; ++slot) {
        std::uint64_t word = 0;
        ok = take(in, &word, sizeof word);
        carried.present[slot] = ok && word != 0;
        if (carried.present[slot])
            ok = take(in, &carried.items[slot], sizeof(Item));
    }
    return ok;
}

bool save_ok(const Game& g, const CarriedItems& carried)
{
    if (!loaded_game_ok(g))
        return false;
    for (int slot = 0; slot < ITEM_SLOTS; ++slot) {
        if (carried.present[slot] && !loaded_item_ok(carried.items[slot]))
            return false;
    }
    return true;
}

void clear_item_slots(Player& p)
{
    for (int slot = 0; slot < ITEM_SLOTS; ++slot)
        item_slot(p, slot) = nullptr;
}

// The only step that changes the game; everything it needs is ready and checked.
void commit_load(Game& game, int number, const Game& staged, Item* const (&fresh)[ITEM_SLOTS])
{
    // The loading player may be a closed slot beyond other_count, which
    // free_player_items does not reach.
    free_inventory(*player_by_number(game, number));
    free_player_items(game);
    game = staged;
    // The references stored in the file point into another process.
    for (int k = 0; k < MAX_PLAYERS; ++k)
        clear_item_slots(*player_by_number(game, k));
    Player& loading = *player_by_number(game, number);
    for (int slot = 0; slot < ITEM_SLOTS; ++slot)
        item_slot(loading, slot) = fresh[slot];
}

// Each slot gets a block of its own, so a weapon saved twice loads as two copies.
bool build_items(const CarriedItems& carried, Item* (&fresh)[ITEM_SLOTS])
{
    for (int slot = 0; slot < ITEM_SLOTS; ++slot) {
        if (!carried.present[slot])
            continue;
        fresh[slot] = create_blank_item();
        if (!fresh[slot]) {
            for (Item*& item : fresh) {
                destroy_item(item);
                item = nullptr;
            }
            return false;
        }
        *fresh[slot] = carried.items[slot];
    }
    return true;
}

// Everything the file holds is read and checked before the game is touched.
template <typename Source>
int load_save(Source& in, Game& game, Player& p)
{
    unsigned char header[HEADER_SIZE] {};
    const std::size_t got = in.read_up_to(header, sizeof header);
    if (in.failed())
        return -1;
    if (got < sizeof SAVE_MAGIC || std::memcmp(header, SAVE_MAGIC, sizeof SAVE_MAGIC) != 0)
        return -2;
    if (got < sizeof SAVE_MAGIC + sizeof(std::int32_t))
        return -2;
    std::int32_t version = 0;
    std::memcpy(&version, header + sizeof SAVE_MAGIC, sizeof version);
    if (version != SAVE_VERSION)
        return -3;
    if (got < HEADER_SIZE)
        return -2;
    const int number = player_number_of(game, p);
    if (number < 0)
        return -1;
    // Left uninitialised: parse_save copies the file's whole record over it first.
    std::unique_ptr<Game> staged(new (std::nothrow) Game);
    std::unique_ptr<CarriedItems> carried(new (std::nothrow) CarriedItems {});
    if (!staged || !carried)
        return -1;
    const bool parsed = parse_save(in, *staged, *carried);
    if (in.failed())
        return -1;
    if (!parsed || !save_ok(*staged, *carried))
        return -2;
    Item* fresh[ITEM_SLOTS] = {};
    if (!build_items(*carried, fresh))
        return -1;
    commit_load(game, number, *staged, fresh);
    return 0;
}

}  // namespace

int write_save_file(const char* path, Game& game, Player& p)
{
    // Blocks sized by counts beyond their arrays would copy memory that is not
    // the record, and no reader would accept the file.
    if (!counts_in_range(game))
        return -1;
    SaveImage image(game, p, static_cast<std::int64_t>(std::time(nullptr)));
    // A save holds a whole character: nobody else on the machine may read or edit it.
    return write_file_atomically(path, image.pieces(), 0600) ? 0 : -1;
}

int read_save_data(std::span<const unsigned char> bytes, Game& game, Player& p)
{
    BufferSource in(bytes);
    return load_save(in, game, p);
}

int read_save_file(const char* path, Game& game, Player& p)
{
    // Non-blocking, so that a FIFO named like a save cannot stall the open.
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    FileSource in(fd.get());
    return load_save(in, game, p);
}
