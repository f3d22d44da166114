// The web door's listener. Each connection has a thread and an io_context
// of its own, so a slow or hostile browser (a long TLS handshake, a deflate
// of a large frame) never holds up another. A game connection bridges the
// WebSocket to one end of a socketpair whose other end the server serves as
// a client of its own: the bridge reads the pair only when the previous
// message has gone out, and the pair holds about one frame, so a browser
// that stops reading stops the pair and the server's output queue for that
// client drops stale frames instead of queueing them.
#include "web/web.hpp"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/ssl/context.hpp>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "config/config.hpp"
#include "log/log.hpp"
#include "web/bridge.hpp"

namespace {
namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Unsent bytes on the browser's socket beyond this make the bridge wait,
// as the game port's own sockets do; with deflate a frame is a few KB.
constexpr int UNSENT_LIMIT_BYTES = 8 * 1024;

WebLimits g_limits;
std::atomic<int> g_connections { 0 };
// The open door's listening socket, -1 when closed.
std::atomic<int> g_listener { -1 };

sockaddr_storage peer_of(int fd)
{
    sockaddr_storage peer {};
    socklen_t len = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
    return unmapped_address(peer);
}

void configure_browser_socket(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int unsent = UNSENT_LIMIT_BYTES;
    setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent, sizeof unsent);
}

// One connection's thread: the session runs until it is done.
void run_connection(int fd, ssl::context* tls)
{
    sockaddr_storage peer = peer_of(fd);
    configure_browser_socket(fd);
    if (tls)
        web::serve_tls(fd, peer, *tls);
    else
        web::serve_plain(fd, peer);
}

void start_connection(int fd, ssl::context* tls)
{
    if (g_connections.fetch_add(1) >= g_limits.connections) {
        g_connections.fetch_sub(1);
        sockaddr_storage peer = peer_of(fd);
        log_event("web refuse web:%s too many web connections", log_peer(reinterpret_cast<const sockaddr*>(&peer)).c_str());
        close(fd);
        return;
    }
    try {
        std::thread([fd, tls] {
            run_connection(fd, tls);
            g_connections.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        g_connections.fetch_sub(1);
        close(fd);
    }
}

bool transient_accept_error(int err)
{
    return err == EINTR || err == ECONNABORTED || err == EPROTO || err == EPERM || err == ENETDOWN || err == EHOSTUNREACH
        || err == ENETUNREACH || err == EHOSTDOWN || err == ENONET || err == ENOPROTOOPT || err == EOPNOTSUPP;
}

// The listening socket and what its connections share, kept by the
// accepting thread for as long as it runs.
struct Door {
    asio::io_context ioc { 1 };
    tcp::acceptor acceptor { ioc };
    std::shared_ptr<ssl::context> tls;
};

void accept_loop(std::shared_ptr<Door> door)
{
    for (;;) {
        int fd = accept4(door->acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            start_connection(fd, door->tls.get());
            continue;
        }
        int err = errno;
        if (g_listener.load() != door->acceptor.native_handle())
            return;
        if (transient_accept_error(err))
            continue;
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        log_event("web listener error: %s", std::strerror(err));
        return;
    }
}

std::string failure(int port, const std::string& what)
{
    return "Cannot open the web door on port " + std::to_string(port) + ": " + what;
}

// Every local address, IPv6 and IPv4, unless BIND names one; a machine
// without IPv6 still gets IPv4.
error_code open_acceptor(tcp::acceptor& acceptor, int port)
{
    const std::string& bind = server_settings().bind;
    error_code ec;
    auto port16 = static_cast<unsigned short>(port);
    tcp::endpoint at(tcp::v6(), port16);
    if (!bind.empty()) {
        auto address = asio::ip::make_address(bind, ec);
        if (ec)
            return ec;
        at = tcp::endpoint(address, port16);
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        acceptor.close(ec);
        acceptor.open(at.protocol(), ec);
        if (!ec && at.protocol() == tcp::v6() && bind.empty())
            acceptor.set_option(asio::ip::v6_only(false), ec);
        if (!ec)
            acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            acceptor.bind(at, ec);
        if (!ec)
            acceptor.listen(SOMAXCONN, ec);
        if (!ec || !bind.empty() || at.protocol() == tcp::v4())
            return ec;
        at = tcp::endpoint(tcp::v4(), port16);
    }
    return ec;
}

// Only TLS 1.2 and later; OpenSSL's default ciphers for them are sound.
std::shared_ptr<ssl::context> tls_context(const ServerSettings& s, std::string& why)
{
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3
                     | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    error_code ec;
    ctx->use_certificate_chain_file(s.web_tls_cert, ec);
    if (ec) {
        why = "certificate " + log_quote(s.web_tls_cert) + ": " + ec.message();
        return nullptr;
    }
    ctx->use_private_key_file(s.web_tls_key, ssl::context::pem, ec);
    if (ec) {
        why = "key " + log_quote(s.web_tls_key) + ": " + ec.message();
        return nullptr;
    }
    return ctx;
}
}  // namespace

void set_web_limits(const WebLimits& limits) { g_limits = limits; }

const WebLimits& web::web_limits() { return g_limits; }

// Shutting the socket down ends the accept under way; the descriptor itself
// goes with the acceptor when the accepting thread returns.
void stop_web_door()
{
    int fd = g_listener.exchange(-1);
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

std::string start_web_door()
{
    const ServerSettings& s = server_settings();
    int port = s.web_port;
    if (port <= 0)
        return {};
    // One of the two alone is a mistake: serving passwords in clear instead
    // of failing would hide it.
    if (s.web_tls_cert.empty() != s.web_tls_key.empty())
        return failure(port, "WEB_TLS_CERT and WEB_TLS_KEY must be set together");
    auto door = std::make_shared<Door>();
    if (!s.web_tls_cert.empty()) {
        std::string why;
        if (!(door->tls = tls_context(s, why)))
            return failure(port, why);
    }
    if (error_code ec = open_acceptor(door->acceptor, port))
        return failure(port, ec.message());
    g_listener = door->acceptor.native_handle();
    try {
        std::thread(accept_loop, door).detach();
    } catch (const std::system_error& e) {
        g_listener = -1;
        return failure(port, e.what());
    }
    log_event("web start port %d%s", port, door->tls ? " tls" : "");
    return {};
}
