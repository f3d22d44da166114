// Arbitrary bytes as world.dat: the loader must refuse or load cleanly, never
// crash, leak or read out of bounds, and what it accepts must restore into a
// game, survive a world step and encode back to the same checks. Each input
// is tried as it is and with its last 32 bytes made the right digest, so
// that mutations reach the checks behind the digest too.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <openssl/evp.h>
#include <span>
#include <string>

#include "rules/monsters.hpp"
#include "rules/projectiles.hpp"
#include "save/snapshot.hpp"
#include "world/effects.hpp"
#include "world/items.hpp"

namespace {

std::span<const unsigned char> bytes_of(const std::string& s)
{
    return { reinterpret_cast<const unsigned char*>(s.data()), s.size() };
}

void try_snapshot(std::span<const unsigned char> bytes)
{
    static std::unique_ptr<WorldSnapshot> snap(new WorldSnapshot {});
    static std::unique_ptr<Game> game(new Game {});
    if (decode_snapshot(bytes, *snap) != SNAPSHOT_OK)
        return;
    // Something to release: the restore must free it exactly once.
    game->player.inventory[0] = create_item(ITEM_SWORD);
    game->player.weapon = game->player.inventory[0];
    if (!restore_world(*snap, *game))
        std::abort();
    monsters_turn(*game);
    update_projectiles(*game);
    update_effects(*game);
    copy_world(*game, *snap);
    if (decode_snapshot(bytes_of(encode_snapshot(*snap)), *snap) != SNAPSHOT_OK)
        std::abort();
    for (int k = 0; k < MAX_PLAYERS; ++k)
        free_inventory(*player_by_number(*game, k));
    *game = Game {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try_snapshot({ data, size });
    if (size < 32)
        return 0;
    std::string sealed(reinterpret_cast<const char*>(data), size - 32);
    unsigned char digest[32];
    unsigned int len = 0;
    EVP_Digest(sealed.data(), sealed.size(), digest, &len, EVP_sha256(), nullptr);
    sealed.append(reinterpret_cast<const char*>(digest), sizeof digest);
    try_snapshot(bytes_of(sealed));
    return 0;
}
