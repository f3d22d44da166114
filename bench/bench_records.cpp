// What recording costs a player: a push of one real frame (the part that runs
// under the game lock), the bytes a frame takes on disk, and compression.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

#include "records/archive.hpp"
#include "records/recorder.hpp"
#include "render/render.hpp"
#include "world/dungeon.hpp"

namespace {

namespace fs = std::filesystem;

// Frames of one level as a player walks and reads messages.
std::vector<std::string> walk(int count)
{
    std::srand(11);
    auto game = std::make_unique<Game>();
    generate_level(*game);
    std::vector<std::string> out(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        copy_text(game->player.message, "Turn " + std::to_string(i));
        game->player.x = 1 + i % (MAP_WIDTH - 2);
        update_visibility(*game);
        build_frame(*game, game->player, 0, out[static_cast<std::size_t>(i)]);
    }
    return out;
}

struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("bench_records_" + std::to_string(getpid()));
    Scratch() { fs::create_directories(dir); }
    ~Scratch() { fs::remove_all(dir); }
};

// The queue is drained between batches (untimed), so each timed push is one
// that is accepted: the copy into the queue, under the recorder's own lock.
void BM_RecorderPush(benchmark::State& state)
{
    Scratch scratch;
    auto frames = walk(64);
    Recorder r((scratch.dir / "r.ttyrec").string(), Recorder::Open::New);
    r.start();
    std::size_t i = 0;
    double frame_bytes = 0;
    for (auto _ : state) {
        const std::string& f = frames[i++ % frames.size()];
        frame_bytes += static_cast<double>(f.size());
        r.push(f);
        if (i % 12 == 0) {  // the default queue holds about fourteen frames
            state.PauseTiming();
            r.flush(std::chrono::seconds(10));
            state.ResumeTiming();
        }
    }
    r.flush(std::chrono::seconds(10));
    Recorder::Stats s = r.stats();
    state.counters["frame_bytes"] = frame_bytes / static_cast<double>(i);
    state.counters["file_bytes_per_frame"] = s.frames ? static_cast<double>(s.bytes) / static_cast<double>(s.frames) : 0;
    state.counters["dropped"] = static_cast<double>(s.dropped);
}
BENCHMARK(BM_RecorderPush);

void BM_CompressRecording(benchmark::State& state)
{
    Scratch scratch;
    auto frames = walk(1000);
    std::string path = (scratch.dir / "c.ttyrec").string();
    double plain = 0, packed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            Recorder r(path, Recorder::Open::New, { .queue_bytes = 64u << 20 });
            r.start();
            for (const std::string& f : frames)
                r.push(f);
        }
        plain = static_cast<double>(fs::file_size(path));
        state.ResumeTiming();
        compress_recording(path);
        packed = static_cast<double>(fs::file_size(path + ".gz"));
        fs::remove(path + ".gz");
    }
    state.counters["ratio"] = plain / packed;
    state.counters["gz_bytes_per_frame"] = packed / frames.size();
}
BENCHMARK(BM_CompressRecording)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
