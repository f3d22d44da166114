// The world keeper: world.dat in the working directory, loaded at start and
// written from a copy taken under game_mutex, the encoding and the file work
// done after letting go, by one writer at a time.
#include "server/keeper.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

#include "files/files.hpp"
#include "log/log.hpp"
#include "server/client_output.hpp"
#include "server/server.hpp"
#include "server/server_internal.hpp"

namespace {
using Clock = std::chrono::steady_clock;

// How long the last words of a stopping server may take to reach everyone.
constexpr auto FAREWELL_WAIT = std::chrono::milliseconds(1500);

struct Keeper {
    std::mutex writer;
    // The thread's wake-ups.
    std::mutex mutex;
    std::condition_variable changed;
    bool wanted = false;
    bool stopping = false;
    std::thread thread;
    // A world.dat that could not be read nor set aside is never written over.
    bool blocked = false;
    // After the last snapshot of a stopping server nothing is written.
    bool closed = false;
};

Keeper& keeper()
{
    static Keeper k;
    return k;
}

std::string utc_text(std::time_t t, const char* format)
{
    struct tm tm {};
    char text[32] = "";
    if (gmtime_r(&t, &tm))
        std::strftime(text, sizeof text, format, &tm);
    return text;
}

// world.dat.bad-<UTC time>, with a number after it when that name is taken:
// a file set aside is never replaced.
bool set_aside(std::string& aside)
{
    std::string base = std::string(WORLD_FILE) + ".bad-" + utc_text(std::time(nullptr), "%Y%m%dT%H%M%SZ");
    for (int n = 0; n < 100; ++n) {
        aside = n == 0 ? base : base + "-" + std::to_string(n);
        if (renameat2(AT_FDCWD, WORLD_FILE, AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno == EEXIST)
            continue;
        // File systems without the flag: the check and the rename are not one step there.
        struct stat st {};
        if (errno == EINVAL && stat(aside.c_str(), &st) != 0 && errno == ENOENT)
            return std::rename(WORLD_FILE, aside.c_str()) == 0;
        return false;
    }
    return false;
}

int seats_in(const WorldSnapshot& snap)
{
    int n = 0;
    for (const SeatRecord& seat : snap.seats)
        n += seat.account[0] != '\0';
    return n;
}

void refuse_world(SnapshotResult result)
{
    std::string aside;
    if (set_aside(aside)) {
        log_event("world \"%s\" %s, set aside as \"%s\"; a new world starts", WORLD_FILE, snapshot_result_name(result),
                  aside.c_str());
        return;
    }
    keeper().blocked = true;
    log_event("world \"%s\" %s and cannot be set aside (%s); a new world starts and the file is left alone",
              WORLD_FILE, snapshot_result_name(result), std::strerror(errno));
}

void accept_world(const WorldSnapshot& snap)
{
    std::lock_guard<std::mutex> lock(game_mutex());
    if (!restore_world(snap, server_game())) {
        keeper().blocked = true;
        log_event("world \"%s\" not loaded: out of memory; a new world starts and the file is left alone", WORLD_FILE);
        return;
    }
    restore_seats_locked(snap.seats);
    log_event("world loaded \"%s\" level %d, %d seats held, saved %s", WORLD_FILE, server_game().level,
              seats_in(snap), utc_text(static_cast<std::time_t>(snap.saved_at), "%Y-%m-%dT%H:%M:%SZ").c_str());
}

bool anyone_joined_locked() { return client_tables().client_count > 0 || !joined_sockets_locked().empty(); }

enum class Need { Always, SomeoneJoined };

// A snapshot now, unless need asks for someone joined and nobody is.
bool write_if(const char* why, Need need)
{
    std::unique_lock<std::mutex> writer = snapshot_writer_lock();
    auto snap = std::make_unique<WorldSnapshot>();
    {
        std::lock_guard<std::mutex> lock(game_mutex());
        if (need == Need::SomeoneJoined && !anyone_joined_locked())
            return false;
        take_snapshot_locked(*snap);
    }
    SnapshotOutcome outcome = store_snapshot(*snap);
    if (!outcome.written)
        log_event("world save (%s)%s", why, outcome.summary.c_str());
    return outcome.written;
}

void keeper_loop()
{
    Keeper& k = keeper();
    auto interval = server_limits().autosave;
    auto last = Clock::now();
    std::unique_lock<std::mutex> lock(k.mutex);
    while (!k.stopping) {
        // No interval: only the wanted snapshots.
        auto due = interval.count() > 0 ? last + interval : Clock::time_point::max();
        k.changed.wait_until(lock, due, [&] { return k.wanted || k.stopping; });
        if (k.stopping)
            break;
        bool descent = std::exchange(k.wanted, false);
        if (!descent && Clock::now() < due)
            continue;
        lock.unlock();
        write_if(descent ? "descent" : "autosave", descent ? Need::Always : Need::SomeoneJoined);
        last = Clock::now();
        lock.lock();
    }
}
}  // namespace

std::unique_lock<std::mutex> snapshot_writer_lock() { return std::unique_lock<std::mutex>(keeper().writer); }

void take_snapshot_locked(WorldSnapshot& snap)
{
    copy_world(server_game(), snap);
    seat_records_locked(snap.seats);
    snap.saved_at = static_cast<std::int64_t>(std::time(nullptr));
}

SnapshotOutcome store_snapshot(const WorldSnapshot& snap)
{
    Keeper& k = keeper();
    if (k.closed)
        return { false, ", world not saved: the server has stopped" };
    if (k.blocked)
        return { false, std::string(", world not saved: ") + WORLD_FILE + " is left alone" };
    if (snap.game.level <= 0)
        return { false, ", world not saved: no world yet" };
    std::string bytes = encode_snapshot(snap);
    if (bytes.empty())
        return { false, ", world not saved: no checksum" };
    if (!write_file_atomically(WORLD_FILE, bytes, 0600))
        return { false, std::string(", world not saved: ") + std::strerror(errno) };
    return { true, ", world saved (" + std::to_string(seats_in(snap)) + " seats)" };
}

bool write_world_snapshot(const char* why) { return write_if(why, Need::Always); }

void load_world_at_start()
{
    auto snap = std::make_unique<WorldSnapshot>();
    SnapshotResult result = read_snapshot_file(WORLD_FILE, *snap);
    if (result == SNAPSHOT_OK)
        accept_world(*snap);
    else if (result != SNAPSHOT_MISSING)
        refuse_world(result);
}

void start_world_keeper()
{
    Keeper& k = keeper();
    {
        // A server started again in this process saves again.
        std::unique_lock<std::mutex> writer = snapshot_writer_lock();
        k.closed = false;
    }
    std::lock_guard<std::mutex> lock(k.mutex);
    if (k.thread.joinable())
        return;
    k.stopping = false;
    try {
        k.thread = std::thread(keeper_loop);
    } catch (const std::system_error&) {
        log_event("world keeper not started: no thread; world.dat is written only when the server stops");
    }
}

void stop_world_keeper()
{
    Keeper& k = keeper();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        k.stopping = true;
    }
    k.changed.notify_all();
    if (k.thread.joinable())
        k.thread.join();
}

void snapshot_wanted()
{
    Keeper& k = keeper();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        k.wanted = true;
    }
    k.changed.notify_all();
}

std::string keep_world_on_stop()
{
    stop_world_keeper();
    std::unique_lock<std::mutex> writer = snapshot_writer_lock();
    auto snap = std::make_unique<WorldSnapshot>();
    std::vector<std::shared_ptr<ClientOutput>> outputs;
    {
        // One step: what the players saw last is what is kept, since
        // nothing reaches them after their last words.
        std::lock_guard<std::mutex> lock(game_mutex());
        take_snapshot_locked(*snap);
        for (const JoinedSocket& joined : joined_sockets_locked())
            if (std::shared_ptr<ClientOutput> out = output_of_slot_locked(joined.slot))
                outputs.push_back(std::move(out));
        for (const auto& out : outputs)
            out->close_with(KEPT_CHARACTER_TEXT);
    }
    // The file first: a service manager that loses patience with a slow
    // client must not cost the world.
    SnapshotOutcome outcome = store_snapshot(*snap);
    keeper().closed = true;
    auto until = Clock::now() + FAREWELL_WAIT;
    for (const auto& out : outputs)
        out->wait_done(until);
    return outcome.summary;
}
