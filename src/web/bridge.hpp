// What the web door's listener and its connections share.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <sys/socket.h>

#include "web/web.hpp"

namespace web {
const WebLimits& web_limits();

// Serve one accepted connection on the calling thread until it ends; fd is
// the browser's socket, taken over and closed.
void serve_plain(int fd, const sockaddr_storage& peer);
void serve_tls(int fd, const sockaddr_storage& peer, boost::asio::ssl::context& tls);
}  // namespace web
