// The listening socket and the accept loop, and the limits on connections
// that have not joined yet.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "config/config.hpp"
#include "rules/spells.hpp"
#include "server/server.hpp"
#include "log/log.hpp"
#include "server/server_internal.hpp"

namespace {
using Clock = std::chrono::steady_clock;

// A short backlog makes connections that arrive together wait for a
// retransmitted SYN, a second or more each.
constexpr int LISTEN_BACKLOG = SOMAXCONN;
// Only the login dialogue writes straight to the socket; a peer that reads
// none of it for this long is let go.
constexpr int SEND_TIME_LIMIT_S = 2;
// About one frame.
constexpr int UNSENT_LIMIT_BYTES = 16 * 1024;
constexpr const char* BUSY_TEXT = "Server busy. Try again later.\n";
// Far more than any server's limits ask for; only the limits count.
constexpr int PREJOIN_CAPACITY = 256;

// Connections in the welcome, login, naming and class dialogue.

std::string peer_text(const struct sockaddr_in& peer)
{
    return log_peer(reinterpret_cast<const struct sockaddr*>(&peer));
}

struct PreJoinEntry {
    int fd = -1;
    struct sockaddr_in peer {};
    Clock::time_point deadline {};
    bool cut = false;
};

struct PreJoinTable {
    std::mutex mutex;
    std::condition_variable changed;
    PreJoinEntry entries[PREJOIN_CAPACITY];
};

PreJoinTable& prejoin()
{
    static PreJoinTable table;
    return table;
}

// Cuts off connections whose time ran out: after shutdown(SHUT_RD) their
// pending and later reads return end of input, so their own thread sends
// the goodbye text and closes. Entries are released before their socket is
// closed, under the same mutex, so a cut never hits a reused descriptor.
void prejoin_watchdog()
{
    PreJoinTable& t = prejoin();
    std::unique_lock<std::mutex> lock(t.mutex);
    for (;;) {
        auto now = Clock::now();
        auto next = Clock::time_point::max();
        for (PreJoinEntry& e : t.entries) {
            if (e.fd < 0 || e.cut)
                continue;
            if (e.deadline <= now) {
                shutdown(e.fd, SHUT_RD);
                e.cut = true;
                log_event("timeout %s login not finished in %lld s", peer_text(e.peer).c_str(),
                          static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(server_limits().prejoin).count()));
            } else if (e.deadline < next) {
                next = e.deadline;
            }
        }
        if (next == Clock::time_point::max())
            t.changed.wait(lock);
        else
            t.changed.wait_until(lock, next);
    }
}

// The listener.

const char* client_name_of(int player_number)
{
    if (player_number < 0 || player_number >= MAX_CLIENTS)
        return "";
    return client_tables().client_names[player_number];
}

std::string failure(int port, const char* what, int err)
{
    char line[160];
    std::snprintf(line, sizeof line, "Cannot %s on port %d: %s", what, port, std::strerror(err));
    return line;
}

void configure_client_socket(int fd)
{
    // Frames are written whole; Nagle would hold the next small prompt
    // behind the acknowledgement of the previous frame.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct timeval tv { SEND_TIME_LIMIT_S, 0 };
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    // The kernel grows a send buffer to megabytes (on loopback at once), and
    // a frame in it can no longer be replaced by a newer one: a slow client
    // would read half a minute of stale frames before the current one. Unsent
    // bytes beyond this stay in the client's own queue, where they coalesce.
    int unsent = UNSENT_LIMIT_BYTES;
    setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent, sizeof unsent);
}

// Errors of accept that concern one connection, not the listening socket.
bool transient_accept_error(int err)
{
    switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
        return true;
    default:
        return false;
    }
}

// Out of descriptors or memory: wait for connections to end instead of
// giving up the listener for everybody.
bool resource_accept_error(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void start_client(int fd, const struct sockaddr_in& peer, std::string who, Transport transport)
{
    log_event("connect %s", who.c_str());
    if (PreJoin claim = prejoin_claim(fd, peer); claim != PreJoin::Claimed) {
        log_event("refuse %s too many logging in%s", who.c_str(),
                  claim == PreJoin::AddressFull ? " from this address" : "");
        write_all(fd, BUSY_TEXT);
        close(fd);
        return;
    }
    configure_client_socket(fd);
    // The thread takes ownership only once it runs, so a failed start leaves
    // the descriptor here to release and close. std::thread reports that
    // failure only by throwing.
    try {
        std::thread([fd, who, transport] { client_thread(UniqueFd(fd), who, transport); }).detach();
    } catch (const std::system_error&) {
        prejoin_release(fd);
        close(fd);
    }
}

// The pre-join table keeps IPv4 addresses; a v4-mapped IPv6 address counts
// as its IPv4 one, and other IPv6 peers share one entry until it keeps those.
struct sockaddr_in ipv4_of(const sockaddr_storage& peer)
{
    struct sockaddr_in v4 {};
    v4.sin_family = AF_INET;
    if (peer.ss_family == AF_INET) {
        std::memcpy(&v4, &peer, sizeof v4);
    } else if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const struct sockaddr_in6&>(peer);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            std::memcpy(&v4.sin_addr, v6.sin6_addr.s6_addr + 12, sizeof v4.sin_addr);
        v4.sin_port = v6.sin6_port;
    }
    return v4;
}

std::chrono::steady_clock::time_point g_started;
}  // namespace

PreJoin prejoin_claim(int fd, const struct sockaddr_in& peer)
{
    const ServerLimits& limits = server_limits();
    PreJoinTable& t = prejoin();
    std::lock_guard<std::mutex> lock(t.mutex);
    int total = 0;
    int same_peer = 0;
    PreJoinEntry* free_entry = nullptr;
    for (PreJoinEntry& e : t.entries) {
        if (e.fd < 0) {
            free_entry = free_entry ? free_entry : &e;
            continue;
        }
        ++total;
        same_peer += e.peer.sin_addr.s_addr == peer.sin_addr.s_addr;
    }
    if (!free_entry || total >= limits.prejoin_total)
        return PreJoin::Full;
    // One address must not take every place in the dialogue from the others.
    if (same_peer >= limits.prejoin_per_address)
        return PreJoin::AddressFull;
    *free_entry = { fd, peer, Clock::now() + limits.prejoin, false };
    t.changed.notify_one();
    return PreJoin::Claimed;
}

int prejoin_count()
{
    PreJoinTable& t = prejoin();
    std::lock_guard<std::mutex> lock(t.mutex);
    return static_cast<int>(std::count_if(std::begin(t.entries), std::end(t.entries), [](const PreJoinEntry& e) { return e.fd >= 0; }));
}

void prepare_server()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Writes to a peer that has gone must fail, not end the process.
        std::signal(SIGPIPE, SIG_IGN);
        set_player_name_source(client_name_of);
        install_screen_route();
        g_started = Clock::now();
        std::thread(prejoin_watchdog).detach();
    });
}

std::chrono::steady_clock::time_point server_started() { return g_started; }

void serve_connection(UniqueFd fd, const sockaddr_storage& peer, std::string peer_text, Transport transport)
{
    prepare_server();
    start_client(fd.release(), ipv4_of(peer), std::move(peer_text), transport);
}

void prejoin_release(int fd)
{
    PreJoinTable& t = prejoin();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (PreJoinEntry& e : t.entries)
        if (e.fd == fd)
            e = PreJoinEntry {};
}

std::string run_server()
{
    int port = server_port();
    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.valid())
        return failure(port, "listen", errno);
    int one = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind(listener.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0
        || listen(listener.get(), LISTEN_BACKLOG) != 0)
        return failure(port, "listen", errno);
    // Only now: a server that cannot listen returns to a process that
    // starts no thread of its own.
    prepare_server();
    log_event("start port %d", port);

    for (;;) {
        struct sockaddr_in peer {};
        socklen_t peer_len = sizeof peer;
        int fd = accept4(listener.get(), reinterpret_cast<struct sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
        if (fd >= 0) {
            start_client(fd, peer, peer_text(peer), Transport::Tcp);
            continue;
        }
        int err = errno;
        if (transient_accept_error(err))
            continue;
        if (resource_accept_error(err)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        // A server that could not start says so once, on its own; one that
        // stops after serving leaves the reason in the log as well.
        std::string line = failure(port, "accept connections", err);
        log_event("listener error: %s", line.c_str());
        return line;
    }
}
