// The web door's HTTPS and secure WebSocket connections.
#include <unistd.h>

#include "web/session.hpp"

namespace web {
void serve_tls(int fd, const sockaddr_storage& peer, ssl::context& tls)
{
    asio::io_context ioc(1);
    error_code ec;
    tcp::socket socket(ioc);
    socket.assign(peer.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
    if (ec) {
        close(fd);
        return;
    }
    run_session(ioc, beast::ssl_stream<beast::tcp_stream>(std::move(socket), tls), peer);
}
}  // namespace web
