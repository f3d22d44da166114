// The web door's plain HTTP and WebSocket connections.
#include <unistd.h>

#include "web/session.hpp"

namespace web {
void serve_plain(int fd, const sockaddr_storage& peer)
{
    asio::io_context ioc(1);
    error_code ec;
    tcp::socket socket(ioc);
    socket.assign(peer.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
    if (ec) {
        close(fd);
        return;
    }
    beast::tcp_stream stream(std::move(socket));
    run_session(ioc, beast::tcp_stream(std::move(stream)), peer);
}
}  // namespace web
