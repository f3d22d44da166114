// Arbitrary bytes as world.dat: the loader must refuse or load cleanly, never
// crash, leak or read out of bounds, and what it accepts must restore into a
// game, survive a world step and encode back to the same checks.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "rules/monsters.hpp"
#include "rules/projectiles.hpp"
#include "save/snapshot.hpp"
#include "world/effects.hpp"
#include "world/items.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::unique_ptr<WorldSnapshot> snap(new WorldSnapshot {});
    static std::unique_ptr<Game> game(new Game {});
    if (decode_snapshot(std::span<const unsigned char>(data, size), *snap) != SNAPSHOT_OK)
        return 0;
    // Something to release: the restore must free it exactly once.
    game->player.inventory[0] = create_item(ITEM_SWORD);
    game->player.weapon = game->player.inventory[0];
    if (!restore_world(*snap, *game))
        std::abort();
    monsters_turn(*game);
    update_projectiles(*game);
    update_effects(*game);
    copy_world(*game, *snap);
    const std::string again = encode_snapshot(*snap);
    if (decode_snapshot(std::span(reinterpret_cast<const unsigned char*>(again.data()), again.size()), *snap) != SNAPSHOT_OK)
        std::abort();
    for (int k = 0; k < MAX_PLAYERS; ++k)
        free_inventory(*player_by_number(*game, k));
    *game = Game {};
    return 0;
}
