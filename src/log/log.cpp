#include "log/log.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <syslog.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "text/sanitize.hpp"

namespace {

struct Line {
    std::size_t size = 0;
    char text[LOG_LINE_MAX];
};

struct LogState {
    std::atomic<bool> running { false };
    std::mutex mutex;
    std::condition_variable wake;     // the writer: a line is queued or a stop is asked
    std::condition_variable written;  // flushers: the writer has finished a line
    std::thread writer;
    bool stopping = false;
    LogTarget target = LogTarget::Stderr;
    std::vector<Line> ring;
    std::size_t head = 0;
    std::size_t count = 0;
    unsigned long long queued = 0;  // lines ever queued, drop notes included
    unsigned long long done = 0;    // of those, written or lost to an output error
    unsigned long long dropped = 0;
};

// Never destroyed: exit() runs static destructors while the writer thread may
// still be waiting on these very mutexes and condition variables.
LogState& state()
{
    static LogState* s = new LogState;
    return *s;
}

// Starts the line with its time. UTC needs no time zone and reads the same in
// the journal, syslog and a terminal.
std::size_t put_time(Line& line)
{
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    gmtime_r(&now, &tm);
    return std::strftime(line.text, sizeof line.text, "%Y-%m-%dT%H:%M:%SZ ", &tm);
}

// Whatever a caller passes, one event stays one line: a control byte that
// slipped past log_quote cannot start a line of its own.
void finish_line(Line& line, std::size_t used)
{
    used = std::min(used, sizeof line.text - 2);
    for (std::size_t i = 0; i < used; ++i)
        if (static_cast<unsigned char>(line.text[i]) < 0x20 || line.text[i] == 0x7f)
            line.text[i] = '?';
    line.text[used] = '\n';
    line.text[used + 1] = '\0';
    line.size = used + 1;
}

void format_line(Line& line, const char* format, std::va_list args)
{
    std::size_t used = put_time(line);
    int n = std::vsnprintf(line.text + used, sizeof line.text - used, format, args);
    finish_line(line, n < 0 ? used : used + static_cast<std::size_t>(n));
}

Line drop_note(unsigned long long dropped)
{
    Line line;
    std::size_t used = put_time(line);
    int n = std::snprintf(line.text + used, sizeof line.text - used, "%llu log lines dropped", dropped);
    finish_line(line, used + static_cast<std::size_t>(std::max(n, 0)));
    return line;
}

// Callers hold the mutex and have checked that there is room.
void push(LogState& s, const Line& line)
{
    s.ring[(s.head + s.count) % s.ring.size()] = line;
    ++s.count;
    ++s.queued;
}

void write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void emit(LogTarget target, const Line& line)
{
    if (target == LogTarget::Syslog)
        syslog(LOG_INFO, "%.*s", static_cast<int>(line.size - 1), line.text);
    else
        write_all(2, line.text, line.size);
}

// The only place that waits on the reader. Signals stay with the game's
// threads, and a closed pipe gives EPIPE here instead of killing the process.
void writer_loop(LogState& s)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock lock(s.mutex);
    for (;;) {
        Line line;
        if (s.count > 0) {
            line = s.ring[s.head];
            s.head = (s.head + 1) % s.ring.size();
            --s.count;
        } else if (s.dropped > 0) {
            line = drop_note(s.dropped);
            s.dropped = 0;
            ++s.queued;
        } else if (s.stopping) {
            return;
        } else {
            s.wake.wait(lock);
            continue;
        }
        lock.unlock();
        emit(s.target, line);
        lock.lock();
        ++s.done;
        s.written.notify_all();
    }
}

}  // namespace

bool start_event_log(LogTarget target)
{
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.running)
        return true;
    s.target = target;
    s.ring.resize(LOG_QUEUE_LINES);
    if (target == LogTarget::Syslog)
        openlog("mzDELVE", LOG_PID, LOG_DAEMON);
    try {
        s.writer = std::thread(writer_loop, std::ref(s));
    } catch (const std::system_error&) {
        return false;
    }
    s.running = true;
    return true;
}

void log_event(const char* format, ...)
{
    LogState& s = state();
    if (!s.running)
        return;
    Line line;
    std::va_list args;
    va_start(args, format);
    format_line(line, format, args);
    va_end(args);

    std::lock_guard lock(s.mutex);
    if (!s.running)
        return;
    std::size_t room = s.ring.size() - s.count;
    if (s.dropped > 0 && room >= 2) {
        push(s, drop_note(s.dropped));
        s.dropped = 0;
        --room;
    }
    if (room == 0) {
        ++s.dropped;
        return;
    }
    push(s, line);
    s.wake.notify_one();
}

bool flush_event_log(int timeout_ms)
{
    LogState& s = state();
    std::unique_lock lock(s.mutex);
    if (!s.running)
        return true;
    unsigned long long target = s.queued;
    return s.written.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return s.done >= target; });
}

void stop_event_log()
{
    LogState& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (!s.running)
            return;
        s.stopping = true;
        s.wake.notify_one();
    }
    s.writer.join();
    std::lock_guard lock(s.mutex);
    if (s.target == LogTarget::Syslog)
        closelog();
    s.running = false;
    s.stopping = false;
    s.head = s.count = 0;
    s.queued = s.done = s.dropped = 0;
}

std::string log_quote(std::string_view text)
{
    std::string out = "\"";
    for (char c : sanitize_text(text)) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

sockaddr_storage unmapped_address(const sockaddr_storage& from)
{
    if (from.ss_family != AF_INET6)
        return from;
    sockaddr_in6 v6;
    std::memcpy(&v6, &from, sizeof v6);
    if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
        return from;
    sockaddr_in v4 {};
    v4.sin_family = AF_INET;
    v4.sin_port = v6.sin6_port;
    std::memcpy(&v4.sin_addr, v6.sin6_addr.s6_addr + 12, sizeof v4.sin_addr);
    sockaddr_storage out {};
    std::memcpy(&out, &v4, sizeof v4);
    return out;
}

std::string log_peer(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (address && address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
    }
    return "?";
}
