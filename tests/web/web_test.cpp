// The web door of the real server, over loopback, with Boost.Beast's own
// client: the page and the status, bad requests, the dialogue and the game
// over a WebSocket, the limits, deflate and TLS.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include "server/server_harness.hpp"
#include "web/session.hpp"

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using srv::Server;

constexpr const char* PROTOCOL = "terminal.mudstandards.org";

std::string web_config(int web_port, const std::string& more = {})
{
    return "WEB_PORT=" + std::to_string(web_port) + "\n" + more;
}

// A raw request on a fresh connection; everything the server sent back.
std::string round_trip(int port, std::string_view request, int timeout_ms = 5000)
{
    srv::Client c(port);
    c.send(request);
    return c.drain(timeout_ms);
}

std::string get(int port, std::string_view target, std::string_view headers = "")
{
    return round_trip(port, "GET " + std::string(target) + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n" + std::string(headers) + "\r\n");
}

// A browser's WebSocket to /play; reads give up after five seconds.
template <class Next = beast::tcp_stream>
class Ws {
public:
    struct Options {
        bool deflate = false;
        std::string protocol = PROTOCOL;
        int rcvbuf = 0;
    };
    Ws(int port, Options o = Options {}, asio::ssl::context* tls = nullptr) : m_ws(make_next(tls))
    {
        auto& sock = beast::get_lowest_layer(m_ws).socket();
        sock.open(tcp::v4());
        if (o.rcvbuf)
            sock.set_option(asio::socket_base::receive_buffer_size(o.rcvbuf));
        struct timeval tv { 5, 0 };
        setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sock.connect({ asio::ip::address_v4::loopback(), static_cast<unsigned short>(port) });
        if constexpr (!std::is_same_v<Next, beast::tcp_stream>)
            m_ws.next_layer().handshake(asio::ssl::stream_base::client);
        websocket::permessage_deflate pmd;
        pmd.client_enable = o.deflate;
        m_ws.set_option(pmd);
        m_ws.set_option(websocket::stream_base::decorator([p = o.protocol](websocket::request_type& req) {
            if (!p.empty())
                req.set(http::field::sec_websocket_protocol, p);
        }));
        m_ws.handshake(response, "127.0.0.1", "/play");
        m_ws.binary(true);
    }
    void send(std::string_view bytes) { m_ws.write(asio::buffer(bytes.data(), bytes.size()), m_ec); }
    // Messages up to and including needle; empty when the socket closed or went quiet.
    std::string until(std::string_view needle)
    {
        while (m_got.find(needle) == std::string::npos) {
            beast::flat_buffer b;
            if (m_ws.read(b, m_ec), m_ec)
                return {};
            m_got += beast::buffers_to_string(b.data());
        }
        std::string out = m_got.substr(0, m_got.find(needle) + needle.size());
        m_got.erase(0, out.size());
        return out;
    }
    std::string frame() { return until(srv::FRAME_END); }
    std::string frame_with(std::string_view text)
    {
        std::string f;
        while (!(f = frame()).empty() && f.find(text) == std::string::npos) {}
        return f;
    }
    beast::error_code error() const { return m_ec; }
    websocket::response_type response;

private:
    static Next make_next(asio::ssl::context* tls)
    {
        if constexpr (std::is_same_v<Next, beast::tcp_stream>)
            return Next(s_ioc);
        else
            return Next(s_ioc, *tls);
    }
    static inline asio::io_context s_ioc;
    websocket::stream<Next> m_ws;
    std::string m_got;
    beast::error_code m_ec;
};

// Registers and logs in with echo and CR LF checked on the way; joins as a Fighter.
void join_web(Ws<>& ws, const std::string& user, const std::string& name)
{
    ASSERT_FALSE(ws.until("Select: ").empty());
    ws.send("r\r");
    EXPECT_EQ(ws.until("Choose a username: "), "r\r\nChoose a username: ");
    ws.send(user + "x\x7f\r");
    EXPECT_EQ(ws.until("Choose a password: "), user + "x\b \b\r\nChoose a password: ");
    ws.send("pw\r\n");
    EXPECT_EQ(ws.until("Username: "), "\r\nRegistration successful.\r\nUsername: ");
    ws.send(user + "\r");
    ws.until("Password: ");
    ws.send("pw\r");
    EXPECT_EQ(ws.until(std::string(srv::NAME_PROMPT)), "\r\nLogin successful.\r\n\r\nEnter your chat username: ");
    ws.send(name + "\r");
    ws.until("undead.\r\n");
    ws.send("1\r");
    ASSERT_FALSE(ws.frame().empty());
}

TEST(WebDoor, ServesThePageItsFilesAndAStatusWithoutAddressesOrAccounts)
{
    int web = srv::free_port();
    Server server({}, { "-s" }, srv::free_port(), test::program_path(), web_config(web));
    srv::Client player(server.port());
    ASSERT_TRUE(srv::join(player, "tcpaccount", "Tess", '2'));
    std::string page = get(web, "/");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("/vendor/xterm/xterm.js"), std::string::npos);
    std::string lib = get(web, "/vendor/xterm/xterm.js");
    EXPECT_NE(lib.find("Content-Type: text/javascript"), std::string::npos);
    EXPECT_NE(lib.find("Terminal"), std::string::npos);
    std::string etag = lib.substr(lib.find("ETag: ") + 6, 18);
    EXPECT_EQ(get(web, "/vendor/xterm/xterm.js", "If-None-Match: " + etag + "\r\n").substr(0, 12), "HTTP/1.1 304");
    // A browser watching Tess is counted beside her seat.
    Ws watcher(web);
    watcher.until("Select: ");
    watcher.send("w\r");
    ASSERT_FALSE(watcher.until("(q to leave)? ").empty());
    watcher.send("1");
    ASSERT_FALSE(watcher.frame().empty());
    std::string status = get(web, "/status.json?now");
    EXPECT_NE(status.find("\"seats\":[{\"name\":\"Tess\",\"class\":\"Wizard\",\"level\":1,"), std::string::npos) << status;
    EXPECT_NE(status.find("\"watchers\":1}"), std::string::npos) << status;
    EXPECT_NE(status.find("\"logging_in\":0,"), std::string::npos);
    EXPECT_EQ(status.find("tcpaccount"), std::string::npos);
    EXPECT_EQ(status.find("127.0.0.1"), std::string::npos);
}

TEST(WebDoor, AnswersEachBadRequestWithItsStatusAndLogsTheRefusal)
{
    int web = srv::free_port();
    auto server = Server::tuned({ "--web-head-ms", "500" }, web_config(web));
    const std::string upgrade = "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::pair<std::string, std::string> cases[] = {
        { "POST / HTTP/1.1\r\nHost: t\r\nContent-Length: 0\r\n\r\n", "405" },
        { "GET /nowhere HTTP/1.1\r\nHost: t\r\n\r\n", "404" },
        { "GET /play HTTP/1.1\r\nHost: t\r\n\r\n", "426" },
        { "GET / HTTP/1.1\r\nHost: t\r\nX-Long: " + std::string(9000, 'a') + "\r\n\r\n", "431" },
        { "\x16\x03\x01 not http\r\n\r\n", "400" },
        { "GET / HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n\r\nhello", "400" },
        { "GET /play HTTP/1.1\r\nHost: t\r\n" + upgrade + "Sec-WebSocket-Protocol: chat\r\n\r\n", "400" },
    };
    for (const auto& [request, status] : cases) {
        SCOPED_TRACE(request.substr(0, 60));
        EXPECT_EQ(round_trip(web, request).substr(0, 12), "HTTP/1.1 " + status);
    }
    // A head that never ends is cut off after its time.
    srv::Client slow(web);
    slow.send("GET / HTTP/1.1\r\nHost:");
    EXPECT_TRUE(slow.wait_closed(3000));
    std::string log = server->output();
    EXPECT_NE(log.find("web refuse web:127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(" 404 GET \"/nowhere\""), std::string::npos);
    EXPECT_NE(log.find(" 431 request head too large"), std::string::npos);
    EXPECT_NE(log.find("web timeout web:127.0.0.1:"), std::string::npos);
}

TEST(WebDoor, PlaysTheDialogueWithEchoAndCrLfThenTheGameKeyByKey)
{
    int web = srv::free_port();
    Server server({}, { "-s" }, srv::free_port(), test::program_path(), web_config(web));
    Ws ws(web);
    EXPECT_EQ(ws.response[http::field::sec_websocket_protocol], PROTOCOL);
    join_web(ws, "bob", "Webby");
    ws.send("c");
    EXPECT_FALSE(ws.frame_with("You know no spells.").empty());
    ws.send("a");
    EXPECT_FALSE(ws.frame_with("Only Necromancers").empty());
    // A browser that offers no subprotocol is served too.
    Ws bare(web, { .protocol = "" });
    EXPECT_EQ(bare.response.count(http::field::sec_websocket_protocol), 0u);
    EXPECT_FALSE(bare.until("Select: ").empty());
    std::string log = server.output();
    EXPECT_NE(log.find("connect web:127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("join web:127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find("protocol terminal.mudstandards.org"), std::string::npos);
}

TEST(WebDoor, KeepsThePerAddressLimitAndCutsOffSilentOrFloodingBrowsers)
{
    int web = srv::free_port();
    auto server = Server::tuned({ "--web-idle-ms", "1000" }, web_config(web));
    // The harness's probe, and then the four, hold places until the server has seen them close.
    auto nobody_logging_in = [&] { return get(web, "/status.json").find("\"logging_in\":0,") != std::string::npos; };
    ASSERT_TRUE(srv::wait_for(nobody_logging_in));
    {
        std::vector<std::unique_ptr<Ws<>>> four;
        for (int i = 0; i < 4; ++i) {
            four.push_back(std::make_unique<Ws<>>(web));
            ASSERT_FALSE(four.back()->until("Select: ").empty());
        }
        Ws fifth(web);
        EXPECT_FALSE(fifth.until("Server busy. Try again later.\r\n").empty());
        EXPECT_TRUE(fifth.until("never").empty());
    }
    ASSERT_TRUE(srv::wait_for(nobody_logging_in));
    // A message over 4 KB closes the connection as too big.
    Ws flood(web);
    flood.until("Select: ");
    flood.send(std::string(5000, 'x'));
    EXPECT_TRUE(flood.until("never").empty());
    EXPECT_EQ(flood.error(), websocket::error::closed);
    // A peer that never reads and never answers gets a ping, then is cut off.
    srv::Client silent(web);
    silent.send("GET /play HTTP/1.1\r\nHost: t\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    std::string got = silent.drain(2500);
    EXPECT_NE(got.find("\x89\x00", 0, 2), std::string::npos) << "no ping";
    EXPECT_TRUE(silent.wait_closed(3000));
    std::string log = server->output();
    EXPECT_NE(log.find("message over 4096 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("no answer for 1 s"), std::string::npos);
}

TEST(WebDoor, StalledBrowserDoesNotDelayAFastTcpPlayer)
{
    int web = srv::free_port();
    auto server = Server::tuned({ "--stall-ms", "3000" }, web_config(web));
    Ws stalled(web, { .rcvbuf = 4096 });
    join_web(stalled, "slow", "Slow");
    srv::Client fast(server->port());
    ASSERT_TRUE(srv::join(fast, "fast", "Fast", '1'));
    // The stalled browser reads nothing from here on, while frames for it pile up.
    for (int i = 0; i < 200; ++i) {
        const char* key = i % 2 ? "a\n" : "c\n";
        ASSERT_TRUE(fast.send(key));
        ASSERT_FALSE(fast.frame_with(i % 2 ? "Only Necromancers" : "You know no spells.").empty()) << i;
    }
    EXPECT_TRUE(srv::wait_for([&] { return server->output().find("cut off: output stalled") != std::string::npos; }));
}

TEST(WebDoor, DeflatedFramesCarryWhatATcpPlayerSees)
{
    int web = srv::free_port();
    Server server({}, { "-s" }, srv::free_port(), test::program_path(), web_config(web));
    Ws ws(web, { .deflate = true });
    EXPECT_NE(ws.response[http::field::sec_websocket_extensions].find("permessage-deflate"), std::string::npos);
    join_web(ws, "zip", "Zip");
    srv::Client player(server.port());
    ASSERT_TRUE(srv::join(player, "tcp", "Tcp", '1'));
    player.send("/");
    player.read_until("Enter message: ");
    player.send("same for all\n");
    std::string a = player.frame_with("same for all");
    std::string b = ws.frame_with("same for all");
    srv::Screen ta(a), tb(b);
    for (int row = 1; row <= 5; ++row)
        EXPECT_EQ(ta.m_rows[row].substr(0, 60), tb.m_rows[row].substr(0, 60)) << row;
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 60; ++x) {
            if (ta.map_at(x, y) == '#' || tb.map_at(x, y) == '#') {
                EXPECT_EQ(ta.map_at(x, y), tb.map_at(x, y)) << x << "," << y;
            }
        }
    }
}

// The body after the head of a raw answer.
std::string body_of(const std::string& answer) { return answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4)); }

TEST(WebDoor, ServesTheXlogfileWholeOrOneRangeAndTheBestScoresEscaped)
{
    int web = srv::free_port();
    Server server({}, { "-s" }, srv::free_port(), test::program_path(), web_config(web));
    // Before the first game ends a reader gets an empty file, not an error.
    EXPECT_EQ(get(web, "/xlogfile").substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(get(web, "/scores").find("No games finished yet."), std::string::npos);
    const std::string xlog = "version=1\tname=<b>Ann&Co\tclass=Rogue\tlevel=3\tturns=900\tgold=12\tdeath=quit\tendtime=1800000000\n"
                             "version=1\tname=Deep\tclass=Wizard\tlevel=7\tturns=5000\tgold=80\tdeath=killed by a dragon\n";
    test::write_file(server.file("xlogfile"), xlog);
    std::string whole = get(web, "/xlogfile");
    EXPECT_EQ(whole.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(whole.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(whole.find("Accept-Ranges: bytes\r\n"), std::string::npos);
    EXPECT_EQ(body_of(whole), xlog);
    const std::string total = std::to_string(xlog.size());
    struct Case {
        std::string range, status, body, content_range;
    };
    const Case cases[] = {
        { "bytes=10-19", "206", xlog.substr(10, 10), "bytes 10-19/" + total },
        { "bytes=-5", "206", xlog.substr(xlog.size() - 5), "bytes " + std::to_string(xlog.size() - 5) + "-" + std::to_string(xlog.size() - 1) + "/" + total },
        { "bytes=100-", "206", xlog.substr(100), "bytes 100-" + std::to_string(xlog.size() - 1) + "/" + total },
        { "bytes=" + total + "-", "416", "", "bytes */" + total },
        { "bytes=99999999999999999999999-", "416", "", "bytes */" + total },
        { "bytes=-0", "416", "", "bytes */" + total },
        { "bytes=0-1,5-6", "200", xlog, "" },
        { "bytes=9-3", "200", xlog, "" },
        { "lines=1-2", "200", xlog, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range);
        std::string got = get(web, "/xlogfile", "Range: " + c.range + "\r\n");
        EXPECT_EQ(got.substr(0, 12), "HTTP/1.1 " + c.status);
        if (c.status != "416") {
            EXPECT_EQ(body_of(got), c.body);
        }
        std::size_t at = got.find("Content-Range: ");
        EXPECT_EQ(at == std::string::npos ? "" : got.substr(at + 15, got.find('\r', at) - at - 15), c.content_range);
    }
    std::string page = get(web, "/scores");
    EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    EXPECT_LT(page.find("<td>Deep</td>"), page.find("<td>&lt;b&gt;Ann&amp;Co</td><td>Rogue</td><td class=\"n\">3</td>"));
    EXPECT_NE(page.find("<td>2027-01-15 08:00</td>"), std::string::npos) << page;
    EXPECT_EQ(page.find("<b>Ann"), std::string::npos);
}

TEST(WebDoor, ServesOnlyARegularXlogfileAndAtMostSixteenMegabytesAtOnce)
{
    int web = srv::free_port();
    Server server({}, { "-s" }, srv::free_port(), test::program_path(), web_config(web));
    // A FIFO in its place would block a reader that waited for a writer.
    ASSERT_EQ(mkfifo(server.file("xlogfile").c_str(), 0600), 0);
    EXPECT_EQ(get(web, "/xlogfile").substr(0, 12), "HTTP/1.1 500");
    EXPECT_EQ(get(web, "/scores").substr(0, 12), "HTTP/1.1 500");
    EXPECT_NE(server.output().find("500 GET \"/xlogfile\" xlogfile: not a regular file"), std::string::npos);
    std::filesystem::remove(server.file("xlogfile"));
    const auto size = (16u << 20) + 100;
    test::write_file(server.file("xlogfile"), "x");
    std::filesystem::resize_file(server.file("xlogfile"), size);
    std::string got = get(web, "/xlogfile");
    EXPECT_NE(got.find("HTTP/1.1 206"), std::string::npos);
    EXPECT_NE(got.find("Content-Range: bytes 0-16777215/" + std::to_string(size) + "\r\n"), std::string::npos);
    EXPECT_EQ(body_of(got).size(), 16u << 20);
    std::string head = round_trip(web, "HEAD /xlogfile HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    EXPECT_NE(head.find("Content-Length: 16777216\r\n"), std::string::npos) << head;
    EXPECT_EQ(body_of(head), "");
}

// A self-signed certificate for 127.0.0.1, written as PEM files.
void make_certificate(const std::string& cert_path, const std::string& key_path)
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    FILE* f = std::fopen(cert_path.c_str(), "w");
    PEM_write_X509(f, cert);
    std::fclose(f);
    f = std::fopen(key_path.c_str(), "w");
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    X509_free(cert);
    EVP_PKEY_free(key);
}

TEST(WebDoor, SpeaksOnlyTlsWithTheConfiguredCertificate)
{
    test::TempDir keys;
    make_certificate(keys.file("cert.pem"), keys.file("key.pem"));
    int web = srv::free_port();
    Server server({}, { "-s" }, srv::free_port(), test::program_path(),
                  web_config(web, "WEB_TLS_CERT=" + keys.file("cert.pem") + "\nWEB_TLS_KEY=" + keys.file("key.pem") + "\n"));
    asio::ssl::context ctx(asio::ssl::context::tls_client);
    ctx.load_verify_file(keys.file("cert.pem"));
    ctx.set_verify_mode(asio::ssl::verify_peer);
    Ws<beast::ssl_stream<beast::tcp_stream>> wss(web, {}, &ctx);
    EXPECT_FALSE(wss.until("Select: ").empty());
    // No page, and no password, in clear on this port.
    EXPECT_EQ(get(web, "/").find("HTTP/1.1"), std::string::npos);
    EXPECT_NE(server.output().find("web start port " + std::to_string(web) + " tls"), std::string::npos);
}

TEST(WebDoor, AServerWhoseDoorCannotOpenDoesNotStart)
{
    test::TempDir dir;
    test::write_file(dir.file("mzdelve.cfg"), "PORT=" + std::to_string(srv::free_port()) + "\nWEB_PORT=8443\nWEB_TLS_CERT=/nonexistent.pem\n");
    test::Child child({ test::program_path(), "-s" }, { .pty = false, .env = { "RL_CONFIG_DIR=" + dir.path() }, .cwd = dir.path() });
    EXPECT_NE(test::read_until(child.fd(), "set together").find("WEB_TLS_CERT and WEB_TLS_KEY must be set together"), std::string::npos);
    EXPECT_EQ(child.wait_exit(5000), 1);
}
}  // namespace

TEST(WebBridge, LineEndsGetOneCarriageReturnEvenWhenSplitAcrossReads)
{
    std::string out;
    std::string all;
    bool after_cr = false;
    for (std::string_view chunk : { "a\nb\r", "\nc\n\n", "", "\r\r\nd" }) {
        web::add_carriage_returns(chunk, after_cr, out);
        all += out;
    }
    EXPECT_EQ(all, "a\r\nb\r\nc\r\n\r\n\r\r\nd");
}
