// The web door: on WEB_PORT the server also serves a page that plays the
// game in a browser, its status as JSON, and the game itself over a
// WebSocket, each connection a client of the server like a TCP one.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// The web door's own limits. The defaults are the program's; tests and the
// load tool set others before start_web_door.
struct WebLimits {
    // A request head must be complete within this time and size.
    std::chrono::milliseconds head_time { 10000 };
    std::size_t head_bytes { 8192 };
    // A WebSocket message from the browser is at most this long.
    std::size_t message_bytes { 4096 };
    // A browser that sends nothing for this long is cut off; half of it
    // without a word brings a ping.
    std::chrono::milliseconds idle { 60000 };
    // Connections of the door at once, pages and games together.
    int connections { 64 };
};
void set_web_limits(const WebLimits& limits);

// Opens WEB_PORT (at BIND, with TLS when WEB_TLS_CERT and WEB_TLS_KEY are
// both set) and serves it on threads of its own. Empty when the door is
// open or WEB_PORT is 0; otherwise one line naming the port and the reason.
std::string start_web_door();

// Closes the door's listening socket; connections already open go on.
void stop_web_door();
