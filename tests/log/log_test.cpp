#include "log/log.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/test_support.hpp"

namespace {

// Points descriptor 2 at a fresh pipe for the scope; the writer thread writes
// there. Restoring closes the last write end, so the read end then sees EOF.
class StderrToPipe {
public:
    explicit StderrToPipe(int capacity = 0)
    {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        if (capacity > 0)
            fcntl(fds[1], F_SETPIPE_SZ, capacity);
        m_read = fds[0];
        m_saved = dup(2);
        dup2(fds[1], 2);
        close(fds[1]);
    }
    ~StderrToPipe()
    {
        restore();
        close(m_read);
    }
    void restore()
    {
        if (m_saved < 0)
            return;
        dup2(m_saved, 2);
        close(m_saved);
        m_saved = -1;
    }
    int read_fd() const { return m_read; }

private:
    int m_read { -1 };
    int m_saved { -1 };
};

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

sockaddr_in ipv4(const char* host, int port)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, host, &a.sin_addr);
    return a;
}

TEST(EventLog, LinesOpenWithTheUtcTimeAndStayOneLineEach)
{
    StderrToPipe err;
    log_event("before start %d", 1);  // not started: dropped silently
    EXPECT_TRUE(flush_event_log(10));
    ASSERT_TRUE(start_event_log(LogTarget::Stderr));
    sockaddr_in peer = ipv4("203.0.113.7", 51234);
    log_event("connect %s", log_peer(reinterpret_cast<sockaddr*>(&peer)).c_str());
    log_event("login %s ok", log_quote("mal\nlory 2026-01-01T00:00:00Z login \"root\" ok").c_str());
    log_event("raw %s", "a\r\nb\x1b[2J");
    log_event("%s", std::string(2000, 'x').c_str());
    EXPECT_TRUE(flush_event_log(5000));
    stop_event_log();
    err.restore();

    std::vector<std::string> lines = lines_of(test::read_available(err.read_fd()));
    ASSERT_EQ(lines.size(), 4u);
    std::regex stamp(R"(^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)Z (.*)$)");
    std::vector<std::string> events;
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, stamp)) << line;
        std::tm tm {};
        tm.tm_year = std::stoi(m[1]) - 1900;
        tm.tm_mon = std::stoi(m[2]) - 1;
        tm.tm_mday = std::stoi(m[3]);
        tm.tm_hour = std::stoi(m[4]);
        tm.tm_min = std::stoi(m[5]);
        tm.tm_sec = std::stoi(m[6]);
        EXPECT_LE(std::abs(timegm(&tm) - std::time(nullptr)), 10) << "not UTC: " << line;
        events.push_back(m[7]);
    }
    EXPECT_EQ(events[0], "connect 203.0.113.7:51234");
    EXPECT_EQ(events[1], R"(login "mallory 2026-01-01T00:00:00Z login \"root\" ok" ok)");
    EXPECT_EQ(events[2], "raw a??b?[2J");
    EXPECT_EQ(lines[3].size(), LOG_LINE_MAX - 2);
}

// A reader that stops reading must cost the callers nothing but lost lines,
// and every lost line must be accounted for once the reader is back.
TEST(EventLog, StalledReaderDropsAndCountsInsteadOfBlocking)
{
    StderrToPipe err(4096);
    ASSERT_TRUE(start_event_log(LogTarget::Stderr));
    constexpr int SENT = 5000;
    auto slowest = std::chrono::nanoseconds::zero();
    for (int i = 0; i < SENT; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        log_event("event %d padding to fill the pipe quickly .............................", i);
        slowest = std::max(slowest, std::chrono::steady_clock::now() - t0);
    }
    EXPECT_LT(slowest, std::chrono::milliseconds(100));

    std::string text;
    std::thread reader([&] { text = test::read_available(err.read_fd(), 2000, 20000); });
    EXPECT_TRUE(flush_event_log(10000));
    log_event("reader is back");
    EXPECT_TRUE(flush_event_log(10000));
    stop_event_log();
    err.restore();
    reader.join();

    int seen = 0;
    long long dropped = 0;
    std::regex note(R"(Z (\d+) log lines dropped$)");
    std::vector<std::string> lines = lines_of(text);
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_search(line, m, note))
            dropped += std::stoll(m[1]);
        else if (line.find(" event ") != std::string::npos)
            ++seen;
    }
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(seen + dropped, SENT);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("log lines dropped"), std::string::npos);
    EXPECT_NE(lines.back().find("reader is back"), std::string::npos);
}

TEST(LogQuote, KeepsPrintableUtf8DropsControlsAndEscapesQuotes)
{
    EXPECT_EQ(log_quote("Grim the Bold"), "\"Grim the Bold\"");
    EXPECT_EQ(log_quote("Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x90\x89"), "\"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x90\x89\"");
    EXPECT_EQ(log_quote(R"(say "hi" \o/)"), R"("say \"hi\" \\o/")");
    EXPECT_EQ(log_quote(""), "\"\"");
    EXPECT_EQ(log_quote("a\nb\x1b[31mc\xc2\x9b" "d\xff"), "\"ab[31mcd\"");  // the sanitizer's own rule
}

TEST(LogPeer, FormatsIpv4AndIpv6)
{
    sockaddr_in v4 = ipv4("127.0.0.1", 1337);
    EXPECT_EQ(log_peer(reinterpret_cast<sockaddr*>(&v4)), "127.0.0.1:1337");
    sockaddr_in6 v6 {};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(40000);
    inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
    EXPECT_EQ(log_peer(reinterpret_cast<sockaddr*>(&v6)), "[2001:db8::1]:40000");
    EXPECT_EQ(log_peer(nullptr), "?");
}

}  // namespace
