// Arbitrary bytes as a save file: the loader must refuse or load cleanly,
// never crash, leak or read out of bounds, and a refusal changes nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "save/save.hpp"
#include "world/items.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::unique_ptr<Game> game(new Game {});
    static std::unique_ptr<Game> before(new Game {});
    // The player carries a sword, also as its weapon, so a load must release
    // it exactly once; another player's bow must be released too.
    // Made afresh each run and released at its end, so nothing is live when the process exits.
    game->player.inventory[0] = create_item(ITEM_SWORD);
    game->player.weapon = game->player.inventory[0];
    game->other_count = 1;
    game->others[0].inventory[0] = create_item(ITEM_BOW);
    *before = *game;
    int result = read_save_data(std::span<const unsigned char>(data, size), *game, game->player);
    if (result != 0 && std::memcmp(before.get(), game.get(), sizeof(Game)) != 0)
        std::abort();
    if (result == 0) {
        // Touch every rebuilt item so that ASan sees a wrong block, then start over.
        for (Item* item : game->player.inventory) {
            if (item && item->quantity == 0x7fffffff)
                item->quantity = 0;
        }
    }
    free_player_items(*game);
    *game = Game {};
    return 0;
}
