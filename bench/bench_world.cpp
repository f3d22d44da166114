// Costs of the world steps that run on every move (field of view) and on
// every new level (generation).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace {

std::unique_ptr<Game> level_with_viewers(int viewers)
{
    auto g = std::make_unique<Game>();
    std::srand(1);
    g->level = 1;
    generate_level(*g);
    static constexpr int SPOTS[3][2] = { { 12, 5 }, { 47, 14 }, { 30, 3 } };
    g->other_count = viewers - 1;
    for (int k = 0; k < viewers - 1; ++k) {
        Player& o = g->others[k];
        o.alive = 1;
        o.x = SPOTS[k][0];
        o.y = SPOTS[k][1];
    }
    return g;
}

void BM_UpdateVisibility(benchmark::State& state)
{
    auto g = level_with_viewers(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        update_visibility(*g);
        benchmark::DoNotOptimize(g->map[30][10].visible);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_UpdateVisibility)->Arg(1)->Arg(4);

void BM_GenerateLevel(benchmark::State& state)
{
    auto g = std::make_unique<Game>();
    std::srand(1);
    for (auto _ : state) {
        g->level = 1;
        generate_level(*g);
        benchmark::ClobberMemory();
    }
    free_player_items(*g);
}
BENCHMARK(BM_GenerateLevel);

}  // namespace

BENCHMARK_MAIN();
