// What the seats leave behind: the recorder of each seat's screen, the
// archive that compresses finished recordings, and the xlogfile line of a
// game that ended. Everything here that touches a file runs off the game lock.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "config/config.hpp"
#include "log/log.hpp"
#include "records/archive.hpp"
#include "records/recorder.hpp"
#include "records/xlog.hpp"
#include "server/server_internal.hpp"

namespace {
std::string g_version = "unknown";

// Made on first use and never destroyed: a recorder may still hand it a
// file while the process stops.
RecordingArchive* archive()
{
    static RecordingArchive* made = [] {
        std::uint64_t keep = static_cast<std::uint64_t>(server_settings().record_keep_mb) << 20;
        auto* a = new RecordingArchive(RECORDINGS_DIR, keep);
        if (!a->start())
            log_event("recordings: no archive thread, finished recordings stay uncompressed");
        return a;
    }();
    return made;
}
}  // namespace

void set_program_version(std::string_view version) { g_version = std::string(version); }
const std::string& program_version() { return g_version; }

void start_recording_archive()
{
    if (server_settings().record)
        archive();
}

std::shared_ptr<Recorder> start_recording(std::string_view account, RecordingStart how)
{
    if (!server_settings().record)
        return nullptr;
    Recorder::Options options;
    options.archive = archive();
    std::shared_ptr<Recorder> recorder;
    if (how == RecordingStart::ResumeUnfinished) {
        if (std::optional<std::string> path = unfinished_recording(RECORDINGS_DIR, account))
            recorder = std::make_shared<Recorder>(*path, Recorder::Open::Continue, options);
    }
    if (!recorder)
        recorder = std::make_shared<Recorder>(recording_path(RECORDINGS_DIR, account, std::time(nullptr)),
                                              Recorder::Open::New, options);
    if (!recorder->start())
        return nullptr;
    return recorder;
}

void finish_ended_seat(EndedSeat& ended)
{
    if (ended.score && !append_xlog(XLOGFILE, *ended.score))
        log_event("score of %s not written", log_quote(ended.score->name).c_str());
    if (ended.recorder) {
        ended.recorder->close();
        // The last reference: this waits for the writer, off the lock.
        ended.recorder.reset();
        return;
    }
    // A seat kept across a restart whose player never came back has no
    // recorder; its recording from before the restart is finished now.
    if (ended.score && server_settings().record)
        if (std::optional<std::string> path = unfinished_recording(RECORDINGS_DIR, ended.score->account))
            if (RecordingArchive* a = archive())
                a->finished(*path);
}

void flush_recordings(std::chrono::milliseconds timeout)
{
    for (const std::shared_ptr<Recorder>& r : seat_recorders())
        r->flush(timeout);
}
