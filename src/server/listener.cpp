// The listening socket and the accept loop, the limits on connections that
// have not joined yet, and the server's one way of stopping.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "config/config.hpp"
#include "log/log.hpp"
#include "rules/spells.hpp"
#include "server/keeper.hpp"
#include "server/server.hpp"
#include "server/server_internal.hpp"

namespace {
using Clock = std::chrono::steady_clock;

Clock::time_point g_started;

// A short backlog makes connections that arrive together wait for a
// retransmitted SYN, a second or more each.
constexpr int LISTEN_BACKLOG = SOMAXCONN;
// About one frame.
constexpr int UNSENT_LIMIT_BYTES = 16 * 1024;
constexpr const char* BUSY_TEXT = "Server busy. Try again later.\r\n";
// Far more than any server's limits ask for; only the limits count.
constexpr int PREJOIN_CAPACITY = 256;

// Connections in the welcome, login, naming and class dialogue.

struct PreJoinEntry {
    int fd = -1;
    PeerAddress peer;
};

struct PreJoinTable {
    std::mutex mutex;
    PreJoinEntry entries[PREJOIN_CAPACITY];
};

PreJoinTable& prejoin()
{
    static PreJoinTable table;
    return table;
}

// The listener.

const char* client_name_of(int player_number)
{
    if (player_number < 0 || player_number >= MAX_CLIENTS)
        return "";
    return client_tables().client_names[player_number];
}

std::string failure(int port, const char* what, const char* reason)
{
    char line[200];
    std::snprintf(line, sizeof line, "Cannot %s on port %d: %s", what, port, reason);
    return line;
}

void configure_client_socket(int fd)
{
    // Frames are written whole; Nagle would hold the next small prompt
    // behind the acknowledgement of the previous frame.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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
    case EAGAIN:
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

void start_client(int fd, const PeerAddress& peer, std::string who, Transport transport)
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
    auto limit = Clock::now() + server_limits().prejoin;
    // The thread takes ownership only once it runs, so a failed start leaves
    // the descriptor here to release and close. std::thread reports that
    // failure only by throwing.
    try {
        std::thread([fd, peer, who = std::move(who), transport, limit]() mutable {
            client_thread(UniqueFd(fd), { peer, std::move(who), transport }, limit);
        }).detach();
    } catch (const std::system_error&) {
        prejoin_release(fd);
        close(fd);
    }
}

// The address BIND names, numeric only (a name could stand for several).
// Empty: every address, IPv6 with IPv4 mapped into it.
struct ListenAddress {
    struct sockaddr_storage address {};
    socklen_t length = 0;
};

std::optional<ListenAddress> bind_address(const std::string& bind, int port, bool ipv6_any)
{
    ListenAddress out;
    if (bind.empty()) {
        if (ipv6_any) {
            auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&out.address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_any;
            in6->sin6_port = htons(static_cast<std::uint16_t>(port));
            out.length = sizeof *in6;
        } else {
            auto* in = reinterpret_cast<struct sockaddr_in*>(&out.address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_ANY);
            in->sin_port = htons(static_cast<std::uint16_t>(port));
            out.length = sizeof *in;
        }
        return out;
    }
    std::string host = bind.size() > 2 && bind.front() == '[' && bind.back() == ']' ? bind.substr(1, bind.size() - 2) : bind;
    struct addrinfo hints {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return std::nullopt;
    std::memcpy(&out.address, found->ai_addr, found->ai_addrlen);
    out.length = found->ai_addrlen;
    freeaddrinfo(found);
    return out;
}

// A listening socket on the address, or the errno of the step that failed.
int listen_on(const ListenAddress& at, UniqueFd& out)
{
    int family = at.address.ss_family;
    UniqueFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return errno;
    int one = 1;
    int off = 0;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // One socket for both families, whatever the host's default says.
    if (family == AF_INET6)
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (bind(fd.get(), reinterpret_cast<const struct sockaddr*>(&at.address), at.length) != 0
        || listen(fd.get(), LISTEN_BACKLOG) != 0)
        return errno;
    out = std::move(fd);
    return 0;
}

// The listening socket, or the line that says why there is none. Without
// BIND the IPv6 socket serves both families; a host without IPv6 gets IPv4.
std::optional<std::string> open_listener(int port, UniqueFd& out)
{
    const std::string& bind = server_settings().bind;
    if (bind.empty() && listen_on(*bind_address(bind, port, true), out) == 0)
        return std::nullopt;
    std::optional<ListenAddress> at = bind_address(bind, port, false);
    if (!at)
        return failure(port, "listen", ("BIND is not an address: " + bind).c_str());
    if (int err = listen_on(*at, out); err != 0)
        return failure(port, "listen", std::strerror(err));
    return std::nullopt;
}

const char* signal_name(int sig)
{
    switch (sig) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    case SIGUSR2: return "SIGUSR2";
    default: return "signal";
    }
}

// The stop signals and the reload signal (SIGUSR2), taken from the process while the server runs and read
// from a descriptor beside the listening socket, so that stopping is plain
// code on the listener's thread and never work inside a signal handler.
// Every thread the server starts inherits the blocked mask.
class StopSignalWatch {
public:
    explicit StopSignalWatch(StopSignals signals)
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGUSR2);
        if (signals == StopSignals::AlsoHangup)
            sigaddset(&m_set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
        m_fd.reset(signalfd(-1, &m_set, SFD_CLOEXEC | SFD_NONBLOCK));
    }
    ~StopSignalWatch() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
    StopSignalWatch(const StopSignalWatch&) = delete;
    StopSignalWatch& operator=(const StopSignalWatch&) = delete;

    int fd() const { return m_fd.get(); }
    // The signal that came, if one did.
    std::optional<int> take() const
    {
        struct signalfd_siginfo info {};
        if (read(m_fd.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            return std::nullopt;
        return static_cast<int>(info.ssi_signo);
    }

private:
    sigset_t m_set {};
    sigset_t m_old {};
    UniqueFd m_fd;
};

// Everything the server does on its way out, whatever stopped it: the
// world kept, the reason and what was kept in the log, and the log written
// out before the process ends.
ServerStop stop_server(ServerStop stop)
{
    std::string kept = keep_world_on_stop();
    flush_recordings(RECORDING_FLUSH_WAIT);
    log_event("stop %s%s%s", stop.cause == ServerStop::Cause::ListenerError ? "listener error: " : "", stop.text.c_str(),
              kept.c_str());
    flush_event_log(1000);
    return stop;
}

// Waits for a connection or a signal; the new socket, or -1 with the stop
// when the server must end, or -1 with reload set, or -1 alone to look again.
int next_connection(int listener, const StopSignalWatch& signals, PeerAddress& peer, std::optional<ServerStop>& stop,
                    bool& reload)
{
    struct pollfd waits[2] = { { listener, POLLIN, 0 }, { signals.fd(), POLLIN, 0 } };
    if (poll(waits, signals.fd() >= 0 ? 2 : 1, -1) < 0)
        return -1;
    if (waits[1].revents & POLLIN) {
        std::optional<int> sig = signals.take();
        if (sig == SIGUSR2)
            reload = true;
        else if (sig)
            stop = ServerStop { ServerStop::Cause::Signal, std::string("signal ") + signal_name(*sig) };
        return -1;
    }
    struct sockaddr_storage from {};
    socklen_t from_len = sizeof from;
    int fd = accept4(listener, reinterpret_cast<struct sockaddr*>(&from), &from_len, SOCK_CLOEXEC);
    if (fd >= 0) {
        peer = PeerAddress(from, from_len);
        return fd;
    }
    int err = errno;
    if (resource_accept_error(err))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    else if (!transient_accept_error(err))
        stop = ServerStop { ServerStop::Cause::ListenerError,
                            failure(server_port(), "accept connections", std::strerror(err)) };
    return -1;
}
}  // namespace

PeerAddress::PeerAddress(const struct sockaddr_storage& from, socklen_t len)
{
    std::memcpy(&m_address, &from, std::min<std::size_t>(len, sizeof m_address));
    m_address = unmapped_address(m_address);
}

bool PeerAddress::same_host(const PeerAddress& other) const
{
    if (m_address.ss_family != other.m_address.ss_family)
        return false;
    if (m_address.ss_family == AF_INET)
        return reinterpret_cast<const struct sockaddr_in&>(m_address).sin_addr.s_addr
            == reinterpret_cast<const struct sockaddr_in&>(other.m_address).sin_addr.s_addr;
    if (m_address.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const struct sockaddr_in6&>(m_address).sin6_addr,
                           &reinterpret_cast<const struct sockaddr_in6&>(other.m_address).sin6_addr,
                           sizeof(struct in6_addr)) == 0;
    return false;
}

std::string PeerAddress::text() const { return log_peer(reinterpret_cast<const struct sockaddr*>(&m_address)); }

std::string PeerAddress::host() const
{
    std::string t = text();
    std::size_t colon = t.rfind(':');
    t = colon == std::string::npos ? t : t.substr(0, colon);
    return t.size() > 2 && t.front() == '[' ? t.substr(1, t.size() - 2) : t;
}

PreJoin prejoin_claim(int fd, const PeerAddress& peer)
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
        same_peer += e.peer.same_host(peer);
    }
    if (!free_entry || total >= limits.prejoin_total)
        return PreJoin::Full;
    // One address must not take every place in the dialogue from the others.
    if (same_peer >= limits.prejoin_per_address)
        return PreJoin::AddressFull;
    *free_entry = { fd, peer };
    return PreJoin::Claimed;
}

void prejoin_release(int fd)
{
    PreJoinTable& t = prejoin();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (PreJoinEntry& e : t.entries)
        if (e.fd == fd)
            e = PreJoinEntry {};
}

void tell_prejoin(std::string_view text)
{
    PreJoinTable& t = prejoin();
    // Under the table's lock, so that no entry's socket is closed meanwhile.
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const PreJoinEntry& e : t.entries)
        if (e.fd >= 0)
            send(e.fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

int prejoin_count()
{
    PreJoinTable& t = prejoin();
    std::lock_guard<std::mutex> lock(t.mutex);
    int n = 0;
    for (const PreJoinEntry& e : t.entries)
        n += e.fd >= 0;
    return n;
}

void prepare_server()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Writes to a peer that has gone must fail, not end the process.
        std::signal(SIGPIPE, SIG_IGN);
        set_player_name_source(client_name_of);
        install_screen_route();
        start_seat_clock();
        start_recording_archive();
        g_started = Clock::now();
    });
}

Clock::time_point server_started() { return g_started; }

void serve_connection(UniqueFd fd, const sockaddr_storage& peer, std::string peer_text, Transport transport)
{
    prepare_server();
    start_client(fd.release(), PeerAddress(peer, sizeof peer), std::move(peer_text), transport);
}

// Closes the side door however run_server returns.
class SideDoorGuard {
public:
    explicit SideDoorGuard(SideDoor door) : m_door(door) {}
    ~SideDoorGuard()
    {
        if (m_open && m_door.close)
            m_door.close();
    }
    SideDoorGuard(const SideDoorGuard&) = delete;
    SideDoorGuard& operator=(const SideDoorGuard&) = delete;
    std::string open()
    {
        std::string failure = m_door.open ? m_door.open() : std::string();
        m_open = failure.empty();
        return failure;
    }

private:
    SideDoor m_door;
    bool m_open { false };
};

ServerStop run_server(StopSignals signals, SideDoor door)
{
    // Before any thread starts, so that every one of them leaves the stop
    // signals to the listener.
    StopSignalWatch stop_signals(signals);
    int port = server_port();
    UniqueFd listener(inherited_listener());
    if (!listener.valid())
        if (std::optional<std::string> line = open_listener(port, listener))
            return { ServerStop::Cause::CannotStart, *line };
    load_world_at_start();
    // Only now: a server that cannot listen leaves a process that started
    // no thread of its own.
    prepare_server();
    SideDoorGuard side(door);
    if (std::string failure = side.open(); !failure.empty())
        return { ServerStop::Cause::CannotStart, failure };
    const std::string& bind = server_settings().bind;
    log_event("start port %d%s%s%s", port, bind.empty() ? "" : " address ", bind.c_str(),
              started_by_reload() ? " after a reload" : "");
    start_world_keeper();
    adopt_inherited_players();

    for (;;) {
        PeerAddress peer;
        std::optional<ServerStop> stop;
        bool reload = false;
        int fd = next_connection(listener.get(), stop_signals, peer, stop, reload);
        if (fd >= 0)
            start_client(fd, peer, peer.text(), Transport::Tcp);
        else if (reload)
            reload_program(listener.get());
        else if (stop)
            return stop_server(*stop);
    }
}
