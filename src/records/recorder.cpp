#include "records/recorder.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include "log/log.hpp"
#include "records/archive.hpp"

namespace {

// A seconds field of 32 bits reaches 2106; a clock before 1970 reads as 1970.
TtyrecTime ttyrec_time(Recorder::Clock::time_point when)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    us = std::clamp<long long>(us, 0, 0xffffffffLL * 1000000);
    return { static_cast<std::uint32_t>(us / 1000000), static_cast<std::uint32_t>(us % 1000000) };
}

// "dir/name.ttyrec" with "-2" .. before the extension, for a name already taken.
std::string numbered(const std::string& path, int n)
{
    if (n == 1)
        return path;
    std::string::size_type dot = path.rfind(".ttyrec");
    std::string suffix = "-" + std::to_string(n);
    if (dot == std::string::npos)
        return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

struct Opened {
    int fd { -1 };
    std::string path;
    std::uint64_t bytes { 0 };  // where the last whole frame ends
    TtyrecTime last;
};

// Recordings hold the chat of the whole party: not for every local user.
Opened open_new(const std::string& wished)
{
    Opened file;
    for (int n = 1; n <= 100; ++n) {
        file.path = numbered(wished, n);
        file.fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
        if (file.fd >= 0) {
            log_event("record start %s", log_quote(file.path).c_str());
            return file;
        }
        if (errno != EEXIST)
            break;
    }
    log_event("record %s failed: %s", log_quote(file.path).c_str(), std::strerror(errno));
    return {};
}

Opened refuse(int fd, const std::string& path, int error)
{
    log_event("record %s failed: %s", log_quote(path).c_str(), std::strerror(error));
    if (fd >= 0)
        ::close(fd);
    return {};
}

// A crash may have left half a frame at the end; it is cut off so that the
// frames appended now are read as frames, not as the rest of that one.
Opened open_continue(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0)
        return refuse(fd, path, errno);
    if (!S_ISREG(st.st_mode))
        return refuse(fd, path, EINVAL);
    auto size = static_cast<std::uint64_t>(st.st_size);
    TtyrecScan scan = scan_ttyrec_file(fd, size);
    if (!scan.ok || (scan.whole_bytes < size && ftruncate(fd, static_cast<off_t>(scan.whole_bytes)) != 0)
        || lseek(fd, static_cast<off_t>(scan.whole_bytes), SEEK_SET) < 0)
        return refuse(fd, path, errno);
    if (scan.whole_bytes < size)
        log_event("record %s cut %llu bytes of a torn frame", log_quote(path).c_str(),
                  static_cast<unsigned long long>(size - scan.whole_bytes));
    log_event("record continue %s", log_quote(path).c_str());
    return { fd, path, scan.whole_bytes, scan.last };
}

}  // namespace

Recorder::Recorder(std::string path, Open open, Options options)
    : m_path(std::move(path)), m_open(open), m_options(options),
      m_capacity(std::max<std::size_t>(options.queue_bytes, TTYREC_HEADER_BYTES + 1)),
      m_ring(std::make_unique<char[]>(m_capacity))
{
}

Recorder::~Recorder()
{
    close();
    if (m_writer.joinable())
        m_writer.join();
}

bool Recorder::start()
{
    std::string path;
    {
        std::lock_guard lock(m_mutex);
        if (m_started || m_closing)
            return false;
        m_started = true;
        path = m_path;
    }
    // No lock held here: a push meanwhile must not wait on the disk.
    std::error_code ec;
    std::string dir = std::filesystem::path(path).parent_path().string();
    if (!dir.empty())
        std::filesystem::create_directories(dir, ec);
    Opened file = m_open == Open::New ? open_new(path) : open_continue(path);
    if (file.fd < 0)
        return false;
    std::lock_guard lock(m_mutex);
    m_fd = file.fd;
    m_path = file.path;
    m_file_bytes = file.bytes;
    m_last = file.last;
    try {
        m_writer = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        ::close(std::exchange(m_fd, -1));
        log_event("record %s failed: no writer thread", log_quote(m_path).c_str());
        return false;
    }
    m_accepting = !m_closing;
    return true;
}

void Recorder::copy_in(const void* data, std::size_t size)
{
    std::size_t head = (m_tail + m_used) % m_capacity;
    std::size_t first = std::min(size, m_capacity - head);
    std::memcpy(m_ring.get() + head, data, first);
    std::memcpy(m_ring.get(), static_cast<const char*>(data) + first, size - first);
    m_used += size;
}

void Recorder::push(std::string_view bytes, Clock::time_point when)
{
    std::unique_lock lock(m_mutex);
    bool wake = push_locked(bytes, when, m_used == 0);
    lock.unlock();
    if (wake)
        m_changed.notify_all();
}

void Recorder::push_redraw(std::string_view bytes, Clock::time_point when)
{
    std::unique_lock lock(m_mutex);
    // The writer takes the whole queue at once, so a redraw it has not taken
    // and everything queued after it are still at the queue's end; this
    // redraw covers them all.
    // Only a queue that was empty wakes the writer: one woken for every
    // replaced redraw would cost a switch per frame.
    bool was_idle = m_used == 0;
    if (m_accepting && m_redraw_from) {
        m_used = *m_redraw_from;
        ++m_stats.replaced;
    }
    std::size_t before = m_used;
    bool wake = push_locked(bytes, when, was_idle);
    m_redraw_from.reset();
    if (m_used > before)
        m_redraw_from = before;
    lock.unlock();
    if (wake)
        m_changed.notify_all();
}

// True when the writer is to be woken, after letting go of the lock.
bool Recorder::push_locked(std::string_view bytes, Clock::time_point when, bool was_idle)
{
    if (!m_accepting)
        return false;
    if (bytes.size() > TTYREC_MAX_FRAME || TTYREC_HEADER_BYTES + bytes.size() > m_capacity - m_used) {
        ++m_stats.dropped;
        ++m_unlogged_drops;
        return false;
    }
    m_last = std::max(m_last, ttyrec_time(when));
    TtyrecHeader header = encode_ttyrec_header(m_last, static_cast<std::uint32_t>(bytes.size()));
    bool was_below_half = m_used < m_capacity / 2;
    copy_in(header.data(), header.size());
    copy_in(bytes.data(), bytes.size());
    ++m_stats.frames;
    bool half = was_below_half && m_used >= m_capacity / 2;
    // A writer with work left looks again before it sleeps.
    return was_idle || half;
}

void Recorder::close()
{
    std::lock_guard lock(m_mutex);
    m_accepting = false;
    m_closing = true;
    m_changed.notify_all();
}

bool Recorder::flush(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_used == 0; }) && !m_failed;
}

std::string Recorder::path() const
{
    std::lock_guard lock(m_mutex);
    return m_path;
}

Recorder::Stats Recorder::stats() const
{
    std::lock_guard lock(m_mutex);
    return m_stats;
}

// The queue holds only whole frames, so writing all of it keeps the file
// made of whole frames. A failed write is cut back to the last frame that
// went in whole.
bool Recorder::write_region(std::size_t from, std::size_t size)
{
    std::size_t first = std::min(size, m_capacity - from);
    iovec iov[2] = { { m_ring.get() + from, first }, { m_ring.get(), size - first } };
    int count = size > first ? 2 : 1;
    iovec* at = iov;
    std::size_t left = size;
    while (left > 0) {
        ssize_t n = writev(m_fd, at, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            if (ftruncate(m_fd, static_cast<off_t>(m_file_bytes)) == 0)
                lseek(m_fd, static_cast<off_t>(m_file_bytes), SEEK_SET);
            give_up("write failed", error);
            return false;
        }
        auto done = static_cast<std::size_t>(n);
        left -= done;
        while (count > 0 && done >= at->iov_len) {
            done -= at->iov_len;
            ++at;
            --count;
        }
        if (count > 0) {
            at->iov_base = static_cast<char*>(at->iov_base) + done;
            at->iov_len -= done;
        }
    }
    m_file_bytes += size;
    return true;
}

void Recorder::give_up(const char* what, int error)
{
    log_event("record %s stopped: %s: %s", log_quote(m_path).c_str(), what, std::strerror(error));
}

void Recorder::log_drops()
{
    std::uint64_t drops;
    {
        std::lock_guard lock(m_mutex);
        drops = std::exchange(m_unlogged_drops, 0);
    }
    if (drops > 0)
        log_event("record %s dropped %llu frames: the writer fell behind", log_quote(m_path).c_str(),
                  static_cast<unsigned long long>(drops));
}

void Recorder::run()
{
    // Signals are for the game's threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_used > 0 || m_closing; });
        m_changed.wait_for(lock, m_options.batch, [this] { return m_closing || m_used >= m_capacity / 2; });
        if (m_used == 0)
            break;
        std::size_t from = m_tail, size = m_used;
        m_redraw_from.reset();
        lock.unlock();
        log_drops();
        bool ok = write_region(from, size);
        lock.lock();
        if (!ok) {
            m_accepting = false;
            m_failed = true;
            m_used = 0;
            m_changed.notify_all();
            break;
        }
        m_tail = (from + size) % m_capacity;
        m_used -= size;
        m_stats.bytes += size;
        m_changed.notify_all();
    }
    lock.unlock();
    log_drops();
    ::close(m_fd);
    if (m_options.archive)
        m_options.archive->finished(m_path);
}
