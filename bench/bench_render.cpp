// Frame cost for a busy scene: building the bytes, and handing them to a
// descriptor (/dev/null, or a Unix socket drained by another thread).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "render/render.hpp"
#include "term/term.hpp"
#include "world/items.hpp"

namespace {

void set_cell(Cell& c, char glyph, const char* color, bool visible)
{
    c.glyph = glyph;
    copy_text(c.color, color);
    c.visible = visible;
    c.explored = 1;
}

void place_player(Player& p, int x, int y, const char* color)
{
    p.x = x;
    p.y = y;
    p.glyph = '@';
    copy_text(p.color, color);
    p.alive = 1;
    p.hp = 85;
    p.max_hp = 100;
    p.attack = 6;
    p.defense = 1;
    copy_text(p.message, "\x1b[91mYou hit the o for 7 damage!\x1b[0m");
}

// The whole map explored, a 21 x 11 window around the party in view; eight
// monsters (three of them allies), a dozen items, corpses, four players, a
// full chat and a Necromancer viewer with inventory and spells.
std::unique_ptr<Game> busy_scene()
{
    auto g = std::make_unique<Game>();
    for (int x = 0; x < MAP_WIDTH; ++x) {
        for (int y = 0; y < MAP_HEIGHT; ++y) {
            bool wall = x == 0 || y == 0 || x == MAP_WIDTH - 1 || y == MAP_HEIGHT - 1;
            bool seen = x >= 20 && x <= 40 && y >= 5 && y <= 15;
            if (wall)
                set_cell(g->map[x][y], '#', "\x1b[33m", seen);
            else if ((x * 7 + y * 3) % 13 == 0)
                set_cell(g->map[x][y], ',', "\x1b[92m", seen);
            else
                set_cell(g->map[x][y], '.', "\x1b[90m", seen);
        }
    }
    g->level = 4;
    g->turn = 1234;
    g->controlled_ally = 1;
    g->ally_control_mode = ALLY_MANUAL;
    g->ally_controller = 0;
    place_player(g->player, 30, 10, "\x1b[36m");
    g->other_count = 3;
    place_player(g->others[0], 31, 10, "\x1b[35m");
    place_player(g->others[1], 29, 11, "\x1b[32m");
    place_player(g->others[2], 30, 9, "\x1b[33m");
    g->player.aiming = 1;
    g->player.cursor_x = 34;
    g->player.cursor_y = 8;
    g->others[0].aiming = 1;
    g->others[0].cursor_x = 26;
    g->others[0].cursor_y = 12;

    const char glyphs[] = {'o', 's', 'Z', 'o', 's', 'Z', 'o', 'Z'};
    const char* colors[] = {"\x1b[92m", "\x1b[33m", "\x1b[35m"};
    for (int i = 0; i < 8; ++i) {
        Monster& m = g->monsters[i];
        m.x = 22 + 2 * i;
        m.y = 6 + i % 5;
        m.glyph = glyphs[i];
        m.alive = 1;
        m.hp = 5 + i;
        m.is_ally = i < 3;
        m.ally_mode = 1 + i % 3;
        copy_text(m.color, m.is_ally ? "\x1b[95m" : colors[i % 3]);
    }
    g->monster_count = 8;
    for (int i = 0; i < 12; ++i) {
        Item& it = g->floor_items[i];
        it.x = 21 + i;
        it.y = 14 - i % 3;
        it.glyph = "!$/[)'"[i % 6];
        copy_text(it.color, "\x1b[31m");
    }
    g->floor_item_count = 12;
    g->store_count = 1;
    g->stores[0].x = 35;
    g->stores[0].y = 13;
    for (int i = 0; i < 6; ++i)
        add_corpse(*g, 24 + i, 7, 0, 10, 3, 1);
    g->projectiles[0] = Projectile{32, 9, 1, 0, '*', {}, 4, 1, {}};
    copy_text(g->projectiles[0].color, "\x1b[91m");

    const char* chat[] = {"anyone seen the stairs?", "east side, past the water", "wait for me",
                          "shop is next to the river", "going down"};
    for (const char* text : chat) {
        char line[CHAT_LINE_LEN];
        std::snprintf(line, sizeof line, "\x1b[96m%s\x1b[15C\x1b[97m%s", "Player", text);
        copy_text(g->chat_lines[g->chat_count % CHAT_LINES], line);
        ++g->chat_count;
    }

    Player& p = g->player;
    p.player_class = CLASS_NECROMANCER;
    p.mana = 20;
    p.max_mana = 40;
    const int kinds[] = {ITEM_SWORD, ITEM_BOW, ITEM_ARROWS, ITEM_HEALTH_POTION, ITEM_LEATHER_ARMOR,
                         ITEM_FOOD};
    for (int i = 0; i < 6; ++i)
        p.inventory[i] = create_item(kinds[i]);
    p.weapon = p.inventory[0];
    p.armor = p.inventory[4];
    p.spell_count = 3;
    const char* spells[] = {"Animate Dead", "Possess Enemy", "Heal"};
    for (int i = 0; i < 3; ++i) {
        copy_text(p.spells[i].name, spells[i]);
        p.spells[i].mana_cost = 10 + 5 * i;
    }
    return g;
}

struct Scene {
    Scene() : game(busy_scene()) {}
    ~Scene() { free_player_items(*game); }
    std::unique_ptr<Game> game;
};

void BM_BuildFrame(benchmark::State& state)
{
    Scene scene;
    Game& g = *scene.game;
    std::string out;
    for (auto _ : state) {
        out.clear();
        build_frame(g, g.player, 0, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes_per_frame"] = static_cast<double>(out.size());
    state.SetLabel(std::to_string(out.size()) + " bytes");
}
BENCHMARK(BM_BuildFrame);

// render_screen as the server calls it: build, one write_all, flush.
void BM_RenderScreenDevNull(benchmark::State& state)
{
    Scene scene;
    Game& g = *scene.game;
    UniqueFd devnull(open("/dev/null", O_WRONLY));
    set_server_mode(1);
    set_output_fd(devnull.get());
    for (auto _ : state)
        render_screen(g, g.player, 0);
    set_output_fd(-1);
    set_server_mode(0);
    state.counters["frames"] = static_cast<double>(state.iterations());
}
BENCHMARK(BM_RenderScreenDevNull);
// Exactly 1000 frames, for counting system calls: strace -f -c -e trace=write,sendto
// bench_render --benchmark_filter=Fixed
BENCHMARK(BM_RenderScreenDevNull)->Name("Fixed/DevNull")->Iterations(1000);

void BM_RenderScreenSocket(benchmark::State& state)
{
    Scene scene;
    Game& g = *scene.game;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    UniqueFd ours(sv[0]);
    UniqueFd peer(sv[1]);
    std::thread drain([fd = sv[1]] {
        char buf[1 << 16];
        while (read(fd, buf, sizeof buf) > 0) {
        }
    });
    set_server_mode(1);
    set_output_fd(ours.get());
    for (auto _ : state)
        render_screen(g, g.player, 0);
    set_output_fd(-1);
    set_server_mode(0);
    shutdown(ours.get(), SHUT_WR);
    drain.join();
    state.counters["frames"] = static_cast<double>(state.iterations());
}
BENCHMARK(BM_RenderScreenSocket);
BENCHMARK(BM_RenderScreenSocket)->Name("Fixed/Socket")->Iterations(1000);

}  // namespace

BENCHMARK_MAIN();
