// Load tool for the web door. Starts tuned_server (web door open) on free
// loopback ports and measures, with Beast's WebSocket client doing what a
// browser does (permessage-deflate offered, keys as binary messages):
//
// - phases: 1 to 4 browser players in a closed loop of refusals (send a key,
//   wait for the own frame that answers it): commands per second and
//   key-to-frame latency; then the bytes on the wire per frame against the
//   frame's own size, and the server's peak RSS with four web players;
// - stalled: a browser that stops reading beside a fast TCP player, whose
//   latency is what counts.
//
//   load_web [<tuned_server> [seconds per phase [commands of the fast player [plain]]]]
//
// With "plain" the browsers offer no deflate.
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "load_support.hpp"

long long tcp_bytes_received(int fd);

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using namespace load;

constexpr const char* DEFAULT_SERVER = DELVE_TUNED_SERVER;

// A browser's connection to /play; reads give up after five seconds.
class Browser {
public:
    // Whether browsers offer permessage-deflate, as every current one does.
    static inline bool offer_deflate = true;

    Browser(int port, int rcvbuf = 0) : m_ws(s_ioc)
    {
        auto& sock = beast::get_lowest_layer(m_ws).socket();
        sock.open(asio::ip::tcp::v4());
        if (rcvbuf)
            sock.set_option(asio::socket_base::receive_buffer_size(rcvbuf));
        struct timeval tv { 5, 0 };
        setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        beast::error_code ec;
        sock.connect({ asio::ip::address_v4::loopback(), static_cast<unsigned short>(port) }, ec);
        websocket::permessage_deflate pmd;
        pmd.client_enable = offer_deflate;
        m_ws.set_option(pmd);
        if (!ec)
            m_ws.handshake("127.0.0.1", "/play", ec);
        m_ws.binary(true);
        m_ok = !ec;
    }
    bool send(std::string_view s)
    {
        beast::error_code ec;
        m_ws.write(asio::buffer(s.data(), s.size()), ec);
        return !ec;
    }
    // Up to and including needle, or empty after an error or five quiet seconds.
    std::string until(std::string_view needle)
    {
        while (m_ok && m_got.find(needle) == std::string::npos) {
            beast::flat_buffer b;
            beast::error_code ec;
            m_ws.read(b, ec);
            m_ok = !ec;
            m_raw_bytes += b.size();
            m_got += beast::buffers_to_string(b.data());
        }
        if (!m_ok)
            return {};
        std::string out = m_got.substr(0, m_got.find(needle) + needle.size());
        m_got.erase(0, out.size());
        return out;
    }
    std::string frame_with(std::string_view text)
    {
        for (std::string f; !(f = until(FRAME_END)).empty();)
            if (f.find(text) != std::string::npos)
                return f;
        return {};
    }
    // Payload bytes after inflating, and bytes the socket took off the wire.
    long long raw_bytes() const { return m_raw_bytes; }
    long long wire_bytes()
    {
        return tcp_bytes_received(beast::get_lowest_layer(m_ws).socket().native_handle());
    }

private:
    static inline asio::io_context s_ioc;
    websocket::stream<beast::tcp_stream> m_ws;
    std::string m_got;
    long long m_raw_bytes { 0 };
    bool m_ok { false };
};

bool step(Browser& b, std::string_view prompt, std::string_view answer)
{
    return !b.until(prompt).empty() && b.send(answer);
}

bool join(Browser& b, const std::string& user)
{
    return step(b, "Select: ", "r\r") && step(b, "Choose a username: ", user + "\r") && step(b, "Choose a password: ", "pw\r")
        && step(b, "Username: ", user + "\r") && step(b, "Password: ", "pw\r")
        && step(b, "Enter your chat username: ", user + "\r") && step(b, "undead.\r\n", "1\r")
        && !b.until(FRAME_END).empty() && !b.until(FRAME_END).empty();
}

// Every browser alternates the two refusals, each waiting for its own answer.
Phase closed_loop(std::vector<std::unique_ptr<Browser>>& browsers, double seconds)
{
    Phase out;
    std::vector<std::vector<double>> lat(browsers.size());
    std::atomic<int> lost { 0 };
    auto start = Clock::now();
    auto stop = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < browsers.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; Clock::now() < stop; k ^= 1) {
                auto t = Clock::now();
                if (!browsers[i]->send(REFUSALS[k].key) || browsers[i]->frame_with(REFUSALS[k].answer).empty()) {
                    ++lost;
                    return;
                }
                lat[i].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
            }
        });
    }
    for (auto& t : threads)
        t.join();
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& v : lat)
        out.latencies_us.insert(out.latencies_us.end(), v.begin(), v.end());
    out.commands = static_cast<long long>(out.latencies_us.size());
    out.lost = lost;
    std::sort(out.latencies_us.begin(), out.latencies_us.end());
    return out;
}

bool phases(const std::string& program, double seconds)
{
    ServerProcess server(program);
    if (!server.listening())
        return false;
    std::vector<std::unique_ptr<Browser>> browsers;
    long long wire0 = 0, raw0 = 0, frames0 = 0;
    for (int n = 1; n <= 4; ++n) {
        browsers.push_back(std::make_unique<Browser>(server.web_port()));
        if (!join(*browsers.back(), "web" + std::to_string(n))) {
            std::fprintf(stderr, "browser %d could not join\n", n);
            return false;
        }
        if (n == 4) {
            wire0 = browsers[0]->wire_bytes();
            raw0 = browsers[0]->raw_bytes();
        }
        Phase p = closed_loop(browsers, seconds);
        if (n == 4)
            frames0 = p.commands / 4;
        std::printf("browsers=%d commands=%lld rate=%.0f/s %s\n", n, p.commands,
                    static_cast<double>(p.commands) / p.seconds, latency_text(p).c_str());
        std::fflush(stdout);
    }
    // Each of the first browser's commands in the last phase brought its
    // own frame (others' frames it did not wait for are counted too).
    double wire = static_cast<double>(browsers[0]->wire_bytes() - wire0);
    double raw = static_cast<double>(browsers[0]->raw_bytes() - raw0);
    std::printf("bytes per frame (4 players, first browser): raw %.0f, on the wire %.0f (%.1f%%) over %lld commands\n",
                raw / static_cast<double>(frames0 ? frames0 : 1) / 4, wire / static_cast<double>(frames0 ? frames0 : 1) / 4,
                100.0 * wire / (raw > 0 ? raw : 1), frames0);
    std::printf("server peak RSS with four web players (VmHWM): %s\n", server.peak_rss().c_str());
    return true;
}

bool stalled(const std::string& program, long commands)
{
    ServerProcess server(program);
    Browser slow(server.web_port(), 4096);
    std::vector<Conn> fast;
    fast.emplace_back(connect_to(server.port()));
    if (!server.listening() || !join(slow, "stalled") || !load::join(fast[0], "fast"))
        return false;
    // From here on the browser reads nothing.
    Budget budget;
    budget.commands = commands;
    Phase p = run_closed_loop(fast, budget, REFUSALS);
    std::printf("stalled browser beside a fast TCP player: fast commands=%lld rate=%.0f/s %s\n", p.commands,
                static_cast<double>(p.commands) / p.seconds, latency_text(p).c_str());
    return p.lost == 0;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s [<tuned_server> [seconds per phase [commands of the fast player]]]\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    char program[PATH_MAX];
    const char* given = argc > 1 ? argv[1] : DEFAULT_SERVER;
    if (!realpath(given, program)) {
        std::perror(given);
        return 1;
    }
    double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    long commands = argc > 3 ? std::atol(argv[3]) : 2000;
    Browser::offer_deflate = !(argc > 4 && std::string_view(argv[4]) == "plain");
    std::string load_average;
    std::getline(std::ifstream("/proc/loadavg"), load_average);
    std::printf("browsers %s deflate\n", Browser::offer_deflate ? "offer" : "do not offer");
    std::printf("machine: %u CPUs, load average %s\n", std::thread::hardware_concurrency(), load_average.c_str());
    bool ok = phases(program, seconds);
    ok = stalled(program, commands) && ok;
    return ok ? 0 : 1;
}
