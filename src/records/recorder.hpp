// One player's screen recorded as a ttyrec file: the caller queues each frame
// or text with the time it was queued, without ever waiting on the disk, and
// a writer thread of the recorder's own appends whole frames to the file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "records/ttyrec.hpp"

class RecordingArchive;

class Recorder {
public:
    using Clock = std::chrono::system_clock;

    enum class Open {
        New,       // a new file; an existing one of that name is kept and a suffix added
        Continue,  // goes on at the end of the file's last whole frame (a returning player)
    };

    struct Options {
        // Room for queued frames and their headers; about a dozen full frames.
        std::size_t queue_bytes { 256 * 1024 };
        // Gets the file once it is closed, to compress it; it must outlive the recorder.
        RecordingArchive* archive { nullptr };
        // How long the writer lets the queue fill before it writes, unless it
        // is half full: a busy seat costs a few large writes a second rather
        // than one per frame.
        std::chrono::milliseconds batch { 20 };
    };

    struct Stats {
        std::uint64_t frames { 0 };   // queued to be written
        std::uint64_t dropped { 0 };  // did not fit in the queue
        std::uint64_t replaced { 0 }; // redraws that a newer one replaced before they were written
        std::uint64_t bytes { 0 };    // written to the file, headers included
    };

    Recorder(std::string path, Open open, Options options);
    Recorder(std::string path, Open open) : Recorder(std::move(path), open, Options {}) {}
    // Closes, then waits for the writer to finish: destroy it off the game lock.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Opens the file (creating its folders) and starts the writer. This is
    // the only call that touches the file system itself: make it before
    // taking the game lock. False, and logged, when the file cannot be used.
    bool start();

    // Queues bytes as one frame stamped with when. Never does file I/O or
    // allocates, so it may be called under the game lock. A frame that does
    // not fit beside those still queued is dropped whole, counted and later
    // logged. Times never go backwards in the file, even when the clock does.
    void push(std::string_view bytes, Clock::time_point when = Clock::now());

    // The same for bytes that redraw the whole screen: while a redraw not
    // yet taken by the writer is queued, this one replaces it and whatever
    // came after it, since the recording would show those only for a moment.
    void push_redraw(std::string_view bytes, Clock::time_point when = Clock::now());

    // Writes what is queued, closes the file and hands it to the archive;
    // returns at once. Nothing queued after this is recorded.
    void close();

    // Waits up to timeout until everything queued so far is in the file;
    // false on timeout or when a write failed.
    bool flush(std::chrono::milliseconds timeout);

    // The file being written: after start, the name actually created.
    std::string path() const;
    Stats stats() const;

private:
    void run();
    bool push_locked(std::string_view bytes, Clock::time_point when, bool was_idle);
    void copy_in(const void* data, std::size_t size);
    bool write_region(std::size_t from, std::size_t size);
    void give_up(const char* what, int error);
    void log_drops();

    std::string m_path;  // written only by start, before the writer runs
    const Open m_open;
    const Options m_options;
    const std::size_t m_capacity;
    std::unique_ptr<char[]> m_ring;
    int m_fd { -1 };
    std::uint64_t m_file_bytes { 0 };  // where the last whole frame ends

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_tail { 0 };  // oldest queued byte
    std::size_t m_used { 0 };
    // Where the newest redraw the writer has not taken starts in the queue.
    std::optional<std::size_t> m_redraw_from;
    TtyrecTime m_last;
    bool m_started { false };
    bool m_accepting { false };
    bool m_closing { false };
    bool m_failed { false };
    std::uint64_t m_unlogged_drops { 0 };
    Stats m_stats;
    std::thread m_writer;
};
