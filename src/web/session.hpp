// One connection of the web door, plain or TLS: requests until one is the
// WebSocket upgrade to /play, then the bridge between that WebSocket and one
// end of a socketpair whose other end the server serves as its client. A
// template over the stream; each kind is compiled in a file of its own.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <type_traits>

#include "log/log.hpp"
#include "server/server.hpp"
#include "web/bridge.hpp"
#include "web/pages.hpp"

namespace web {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using beast::error_code;

constexpr const char* SUBPROTOCOL = "terminal.mudstandards.org";
// About one frame (some 19 KB of ANSI text) in the socketpair: the kernel
// doubles the figure and counts its own overhead against it.
constexpr int PAIR_BUFFER_BYTES = 12 * 1024;
constexpr std::size_t BRIDGE_READ_BYTES = 32 * 1024;
// How long a closing connection may take to take its last bytes.
constexpr auto LINGER = std::chrono::seconds(2);

inline long long seconds_of(std::chrono::milliseconds ms) { return static_cast<long long>(ms.count() / 1000); }

// The server's end and the bridge's end of a game connection's stream.
inline bool make_pair(UniqueFd& server_end, UniqueFd& bridge_end)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return false;
    for (int fd : sv) {
        int bytes = PAIR_BUFFER_BYTES;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    server_end = UniqueFd(sv[0]);
    bridge_end = UniqueFd(sv[1]);
    return true;
}

// What the bridge sends the browser: a terminal turns LF into CR LF on
// output, and a browser's terminal shows exactly what it is sent, so the
// dialogue's lines get their CR here. Frames hold no LF and pass unchanged.
inline void add_carriage_returns(std::string_view in, bool& after_cr, std::string& out)
{
    out.clear();
    // A frame is about 19 KB with few line ends: copy the runs between them.
    while (!in.empty()) {
        std::size_t lf = in.find('\n');
        std::string_view run = in.substr(0, lf);
        out.append(run);
        if (!run.empty())
            after_cr = run.back() == '\r';
        if (lf == std::string_view::npos)
            return;
        if (!after_cr)
            out += '\r';
        out += '\n';
        after_cr = false;
        in.remove_prefix(lf + 1);
    }
}

template <class Stream>
constexpr bool IS_TLS = !std::is_same_v<Stream, beast::tcp_stream>;

// One connection of the door: TLS (when on), then requests until one is a
// WebSocket upgrade to /play, which becomes the bridge to a game client.
template <class Stream>
class Session {
public:
    Session(asio::io_context& ioc, Stream stream, sockaddr_storage peer)
        : m_ioc(ioc), m_stream(std::move(stream)), m_peer(peer),
          m_who("web:" + log_peer(reinterpret_cast<const sockaddr*>(&peer)))
    {
    }

    void start()
    {
        lowest().expires_after(web_limits().head_time);
        if constexpr (IS_TLS<Stream>) {
            m_stream.async_handshake(ssl::stream_base::server, [this](error_code ec) {
                if (ec)
                    return log_end("refuse", "tls handshake failed: " + ec.message());
                read_head();
            });
        } else {
            read_head();
        }
    }

private:
    beast::tcp_stream& lowest() { return m_ws ? beast::get_lowest_layer(*m_ws) : beast::get_lowest_layer(m_stream); }

    void log_end(const char* what, const std::string& why)
    {
        log_event("web %s %s %s", what, m_who.c_str(), why.c_str());
    }

    void read_head()
    {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(web_limits().head_bytes));
        lowest().expires_after(web_limits().head_time);
        http::async_read(m_stream, m_buffer, *m_parser, [this](error_code ec, std::size_t) { on_head(ec); });
    }

    void on_head(error_code ec)
    {
        if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::ssl::error::stream_truncated)
            return;
        if (ec == beast::error::timeout) {
            // A connection kept open between requests ends quietly.
            if (m_requests == 0 || m_parser->got_some())
                log_end("timeout", "request head not complete in " + std::to_string(seconds_of(web_limits().head_time)) + " s");
            return;
        }
        if (ec == http::error::header_limit)
            return refuse(http::status::request_header_fields_too_large, "431 request head too large");
        if (ec)
            return refuse(http::status::bad_request, "400 bad request: " + ec.message());
        ++m_requests;
        Request req = m_parser->release();
        std::string_view target = req.target();
        if (target.substr(0, target.find('?')) == "/play" && websocket::is_upgrade(req))
            return upgrade(std::move(req));
        std::string refusal;
        m_response = web::answer(req, refusal);
        if (!refusal.empty())
            log_end("refuse", refusal);
        // An answer may have left out a HEAD's body itself, with its length set.
        if (req.method() == http::verb::head && !m_response.body().empty()) {
            auto length = m_response.body().size();
            m_response.body().clear();
            m_response.content_length(length);
        }
        send_response();
    }

    void refuse(http::status status, const std::string& why)
    {
        log_end("refuse", why);
        m_response = web::error_response(status, 11, false);
        send_response();
    }

    void send_response()
    {
        lowest().expires_after(web_limits().head_time);
        http::async_write(m_stream, m_response, [this](error_code ec, std::size_t) {
            if (ec)
                return;
            if (m_response.keep_alive())
                return read_head();
            linger_close();
        });
    }

    // Sends the end of the stream, then reads what the peer still sends for
    // a moment: closing with unread bytes would reset the connection and
    // could take the answer with it.
    void linger_close()
    {
        error_code ignored;
        lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
        lowest().expires_after(LINGER);
        drain();
    }

    void drain()
    {
        lowest().async_read_some(asio::buffer(m_scratch), [this](error_code ec, std::size_t) {
            if (!ec)
                drain();
        });
    }

    // The subprotocol the browser offered that this door speaks, "" for a
    // browser that offered none, none when it offered only others.
    static std::optional<std::string> chosen_protocol(const Request& req)
    {
        auto offered = req[http::field::sec_websocket_protocol];
        if (offered.empty())
            return std::string();
        for (auto token : http::token_list { offered })
            if (token == SUBPROTOCOL)
                return std::string(SUBPROTOCOL);
        return std::nullopt;
    }

    void upgrade(Request req)
    {
        std::optional<std::string> protocol = chosen_protocol(req);
        if (!protocol)
            return refuse(http::status::bad_request, "400 no subprotocol it speaks: " + log_quote(req[http::field::sec_websocket_protocol]));
        lowest().expires_never();
        m_ws.emplace(std::move(m_stream));
        websocket::permessage_deflate deflate;
        deflate.server_enable = true;
        deflate.client_enable = true;
        // Frames repeat most of the previous frame: with the context kept
        // between messages and a window larger than a frame, a frame costs
        // little more than what changed.
        deflate.server_max_window_bits = 15;
        deflate.compLevel = 1;
        deflate.memLevel = 8;
        m_ws->set_option(deflate);
        m_ws->set_option(websocket::stream_base::timeout { web_limits().head_time, web_limits().idle, true });
        m_ws->read_message_max(web_limits().message_bytes);
        m_ws->binary(true);
        m_ws->set_option(websocket::stream_base::decorator([this, protocol](websocket::response_type& res) {
            res.set(http::field::server, "mzDELVE");
            if (!protocol->empty())
                res.set(http::field::sec_websocket_protocol, *protocol);
            m_deflate = res.count(http::field::sec_websocket_extensions) > 0;
        }));
        m_protocol = *protocol;
        m_upgrade = std::move(req);
        m_ws->async_accept(m_upgrade, [this](error_code ec) { on_accept(ec); });
    }

    void on_accept(error_code ec)
    {
        if (ec)
            return log_end("refuse", "400 bad upgrade: " + ec.message());
        UniqueFd server_end;
        UniqueFd bridge_end;
        if (!make_pair(server_end, bridge_end)) {
            log_end("refuse", std::string("no socketpair: ") + std::strerror(errno));
            return m_ws->async_close(websocket::close_code::try_again_later, [](error_code) {});
        }
        log_end("play", std::string("protocol ") + (m_protocol.empty() ? "none" : m_protocol.c_str())
                          + (m_deflate ? " deflate" : "") + (IS_TLS<Stream> ? " tls" : ""));
        m_pair.emplace(m_ioc, bridge_end.release());
        serve_connection(std::move(server_end), m_peer, m_who, Transport::Browser);
        read_browser();
        read_pair();
    }

    // Browser to server: the next message is read only once the last one is
    // in the pair, so a browser that types faster than the game reads waits.
    void read_browser()
    {
        m_ws->async_read(m_in, [this](error_code ec, std::size_t) {
            if (ec)
                return end_game(ec == websocket::error::closed ? "browser closed" : describe(ec));
            asio::async_write(*m_pair, m_in.data(), [this](error_code wec, std::size_t) {
                if (wec)
                    return end_game("server closed");
                m_in.consume(m_in.size());
                read_browser();
            });
        });
    }

    // Server to browser: one read of the pair, one message, and only then
    // the next read.
    void read_pair()
    {
        m_pair->async_read_some(asio::buffer(m_raw), [this](error_code ec, std::size_t n) {
            if (ec) {
                if (ec == asio::error::operation_aborted || m_ended)
                    return;
                // The server said goodbye: close as a WebSocket should.
                m_ended = true;
                log_end("close", "server closed");
                return m_ws->async_close(websocket::close_code::normal, [this](error_code) { lowest().close(); });
            }
            add_carriage_returns({ m_raw.data(), n }, m_after_cr, m_out);
            m_ws->async_write(asio::buffer(m_out), [this](error_code wec, std::size_t) {
                if (wec)
                    return end_game(describe(wec));
                read_pair();
            });
        });
    }

    std::string describe(error_code ec) const
    {
        if (ec == beast::error::timeout)
            return "no answer for " + std::to_string(seconds_of(web_limits().idle)) + " s";
        if (ec == websocket::error::message_too_big)
            return "message over " + std::to_string(web_limits().message_bytes) + " bytes";
        return ec.message();
    }

    // Either side failing ends both: the server sees the pair close and
    // takes its client out of the game.
    void end_game(const std::string& why)
    {
        if (m_ended)
            return;
        m_ended = true;
        log_end("close", why);
        error_code ignored;
        m_pair->close(ignored);
        lowest().close();
    }

    asio::io_context& m_ioc;
    Stream m_stream;
    std::optional<websocket::stream<Stream>> m_ws;
    sockaddr_storage m_peer;
    std::string m_who;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::empty_body>> m_parser;
    Response m_response;
    Request m_upgrade;
    int m_requests { 0 };
    std::string m_protocol;
    bool m_deflate { false };
    std::optional<asio::posix::stream_descriptor> m_pair;
    beast::flat_buffer m_in;
    std::array<char, BRIDGE_READ_BYTES> m_raw {};
    std::string m_out;
    bool m_after_cr { false };
    bool m_ended { false };
    std::array<char, 1024> m_scratch {};
};

// Runs one connection on this thread until it is done.
template <class Stream>
void run_session(asio::io_context& ioc, Stream stream, const sockaddr_storage& peer)
{
    Session<Stream> s(ioc, std::move(stream), peer);
    s.start();
    ioc.run();
}
}  // namespace web
