// The recordings folder: where each account's recordings go, their
// compression once finished, and the bound on the folder's size.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

// Relative to the working directory, which for the service is its state directory.
constexpr const char* RECORDINGS_DIR = "recordings";

// An account name as one path component: letters, digits, '-', '_' and '.'
// stay (a leading '.' does not), every other byte becomes %XX. Two accounts
// never share a folder, and no name can reach outside the recordings folder
// or hide its folder.
std::string account_folder(std::string_view account);

// "<root>/<account folder>/<UTC start>.ttyrec", the start written as
// 20240501T123456Z: sortable and free of the colons some tools choke on.
std::string recording_path(std::string_view root, std::string_view account, std::time_t start);

// The account's newest recording not yet compressed: the one a held seat's
// player goes on with after a restart.
std::optional<std::string> unfinished_recording(std::string_view root, std::string_view account);

// Compresses path into path + ".gz" (gzip, which every ttyrec player and
// archive site reads), then removes path; logged. False when it could not,
// and then path is left as it was.
bool compress_recording(const std::string& path);

// Removes the oldest finished recordings (".ttyrec.gz") under root until all
// files there take at most keep_bytes, each removal logged. Recordings still
// being written count towards the bound but stay. Returns how many went.
int keep_recordings_below(const std::string& root, std::uint64_t keep_bytes);

// A thread that compresses each finished recording and then keeps the folder
// within its bound, so that neither runs on a thread a player waits for.
class RecordingArchive {
public:
    RecordingArchive(std::string root, std::uint64_t keep_bytes);
    // Does what is queued, then stops.
    ~RecordingArchive();
    RecordingArchive(const RecordingArchive&) = delete;
    RecordingArchive& operator=(const RecordingArchive&) = delete;

    // Starts the thread, which first brings the folder within its bound.
    bool start();

    // A closed recording to compress; returns at once.
    void finished(std::string path);

    // Waits up to timeout until everything handed over so far is done.
    bool flush(std::chrono::milliseconds timeout);

private:
    void run();

    const std::string m_root;
    const std::uint64_t m_keep_bytes;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::string> m_jobs;  // an empty path only keeps the bound
    bool m_busy { false };
    bool m_stopping { false };
    std::thread m_worker;
};
