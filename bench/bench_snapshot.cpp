// The world snapshot with four players and full inventories: the copy taken
// under game_mutex (goal: at most 200 µs), the encoding and the atomic write
// that follow off the lock, and a load.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

#include "files/files.hpp"
#include "save/save_fixtures.hpp"
#include "save/snapshot.hpp"
#include "server/keeper.hpp"
#include "server/server.hpp"
#include "server/server_internal.hpp"

namespace {

Game g_game;
Game g_target;

std::string bench_path()
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/bench_world_" + std::to_string(getpid()) + ".dat";
}

void BM_SnapshotCopyUnderLock(benchmark::State& state)
{
    save_test::build_full_world(g_game);
    auto snap = std::make_unique<WorldSnapshot>();
    for (auto _ : state) {
        copy_world(g_game, *snap);
        benchmark::DoNotOptimize(snap.get());
    }
    save_test::reset_game(g_game);
}

void BM_SnapshotEncode(benchmark::State& state)
{
    save_test::build_full_world(g_game);
    auto snap = std::make_unique<WorldSnapshot>();
    copy_world(g_game, *snap);
    for (auto _ : state)
        benchmark::DoNotOptimize(encode_snapshot(*snap));
    save_test::reset_game(g_game);
}

// Copy, encode and write with fsync and rename: a whole snapshot.
void BM_SnapshotCopyEncodeWrite(benchmark::State& state)
{
    save_test::build_full_world(g_game);
    auto snap = std::make_unique<WorldSnapshot>();
    const std::string path = bench_path();
    for (auto _ : state) {
        copy_world(g_game, *snap);
        if (!write_file_atomically(path, encode_snapshot(*snap), 0600))
            state.SkipWithError("write failed");
    }
    unlink(path.c_str());
    save_test::reset_game(g_game);
}

void BM_SnapshotReadAndRestore(benchmark::State& state)
{
    save_test::build_full_world(g_game);
    auto snap = std::make_unique<WorldSnapshot>();
    copy_world(g_game, *snap);
    const std::string path = bench_path();
    write_file_atomically(path, encode_snapshot(*snap), 0600);
    for (auto _ : state) {
        if (read_snapshot_file(path, *snap) != SNAPSHOT_OK || !restore_world(*snap, g_target))
            state.SkipWithError("read failed");
    }
    unlink(path.c_str());
    save_test::reset_game(g_game);
    save_test::reset_game(g_target);
}

// The server's own world with four seats taken, as the keeper sees it.
void fill_server_world()
{
    for (int fd = 100; fd < 104; ++fd)
        join_server_game(fd, "bench");
    save_test::build_full_world(server_game());
}

// What the keeper holds game_mutex for: the copy, the seats and the time.
void BM_SnapshotHeldGameMutex(benchmark::State& state)
{
    fill_server_world();
    auto snap = std::make_unique<WorldSnapshot>();
    for (auto _ : state) {
        std::lock_guard<std::mutex> lock(game_mutex());
        take_snapshot_locked(*snap);
        benchmark::DoNotOptimize(snap.get());
    }
}

// The whole keeper's snapshot: world.dat in a scratch directory.
void BM_WorldSnapshotWritten(benchmark::State& state)
{
    fill_server_world();
    char dir[] = "/tmp/bench_keeper_XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        return state.SkipWithError("no scratch directory");
    for (auto _ : state) {
        if (!write_world_snapshot("bench"))
            state.SkipWithError("write failed");
    }
    unlink(WORLD_FILE);
    rmdir(dir);
}

}  // namespace

BENCHMARK(BM_SnapshotHeldGameMutex)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WorldSnapshotWritten)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SnapshotCopyUnderLock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SnapshotEncode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SnapshotCopyEncodeWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SnapshotReadAndRestore)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
