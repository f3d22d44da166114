// The server's event log: one line per event, each opening with its UTC time
// in ISO 8601, written by a background thread so that a caller never waits on
// a slow reader. Until the log is started every call is a no-op, which is what
// local play relies on. Depends only on the text rule below every module.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/socket.h>

enum class LogTarget {
    Stderr,  // a foreground server or a systemd service (the journal reads it)
    Syslog,  // the daemon, whose standard error is /dev/null
};

// Room for one line with its newline and a terminating NUL; longer lines are cut.
constexpr std::size_t LOG_LINE_MAX = 512;
// Lines waiting for the writer before new ones are dropped and counted.
constexpr std::size_t LOG_QUEUE_LINES = 1024;

// Starts the writer thread; false when it could not be started (nothing is
// logged then). Starting a started log changes nothing.
bool start_event_log(LogTarget target);

// Formats one line and queues it without ever waiting for output. When the
// queue is full the line is dropped and counted, and a later line
// "N log lines dropped" stands where the gap is.
[[gnu::format(printf, 1, 2)]] void log_event(const char* format, ...);

// Waits up to timeout_ms until every line queued so far has been written;
// true when it has. For a server about to exit, and for tests.
bool flush_event_log(int timeout_ms);

// Writes what is queued, ends the writer and forgets the target, so the log
// can be started again. Waits for the reader: drain a stalled pipe first.
void stop_event_log();

// Untrusted text (a name, a path) in double quotes, kept to what
// sanitize_text keeps and with '"' and '\' escaped, so that it can neither
// start a new line nor end its quotes early.
std::string log_quote(std::string_view text);

// A peer address as "203.0.113.7:51234" or "[2001:db8::1]:51234".
std::string log_peer(const sockaddr* address);

// An IPv4 client that reached an IPv6 socket (::ffff:a.b.c.d) as the IPv4
// address it is, so that limits and the log count it once; any other
// address unchanged.
sockaddr_storage unmapped_address(const sockaddr_storage& from);
