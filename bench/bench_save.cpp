// Saving and loading a record with every count at its array size and twelve
// carried items: each should stay well under 2 ms.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "save/save.hpp"
#include "save/save_fixtures.hpp"

namespace {

Game g_game;

std::string bench_path()
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/bench_save_" + std::to_string(getpid()) + ".sav";
}

void BM_SaveFullRecord(benchmark::State& state)
{
    save_test::build_full_game(g_game);
    const std::string path = bench_path();
    for (auto _ : state) {
        if (write_save_file(path.c_str(), g_game, g_game.player) != 0)
            state.SkipWithError("write failed");
    }
    unlink(path.c_str());
    save_test::reset_game(g_game);
}

void BM_LoadFullRecord(benchmark::State& state)
{
    save_test::build_full_game(g_game);
    const std::string path = bench_path();
    write_save_file(path.c_str(), g_game, g_game.player);
    for (auto _ : state) {
        if (read_save_file(path.c_str(), g_game, g_game.player) != 0)
            state.SkipWithError("read failed");
    }
    unlink(path.c_str());
    save_test::reset_game(g_game);
}

}  // namespace

BENCHMARK(BM_SaveFullRecord)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadFullRecord)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
