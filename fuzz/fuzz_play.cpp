// A save file played on: whatever numbers the loader accepts, local play must
// run on them without overflow, leak or stray read. Input: one byte n, then n
// keys, then the save file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <span>
#include <unistd.h>

#include "input/local.hpp"
#include "render/render.hpp"
#include "save/save.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace {
// The help, chat and shop wait for a byte; at the end of input they return at once.
bool read_and_draw_nothing()
{
    int fd = open("/dev/null", O_RDWR);
    return fd >= 0 && dup2(fd, 0) == 0 && dup2(fd, 1) == 1 && close(fd) == 0;
}

// 'S' and 'L' write and read "saves" in the working directory, which holds the
// corpus and the crash files; the loader has a fuzzer of its own.
bool touches_disk(char key) { return key == 'S' || key == 'L'; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool ready = read_and_draw_nothing();
    if (!ready || size == 0)
        return 0;
    const std::size_t n = std::min<std::size_t>(data[0], size - 1);
    const std::span<const std::uint8_t> keys(data + 1, n);
    Game& game = local_game();
    if (read_save_data(std::span(data + 1 + n, size - 1 - n), game, game.player) == 0) {
        std::srand(1);
        set_regen_clock(1);  // long due: mana regenerates in the first world step
        for (std::size_t i = 0; i < keys.size() && game.player.alive; ++i) {
            render_screen(game, game.player, 0);
            if (!touches_disk(static_cast<char>(keys[i])))
                play_local_key(game, static_cast<char>(keys[i]));
        }
    }
    free_player_items(game);
    game = Game {};
    return 0;
}
