#include "term/line_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <utility>

#include "term/term.hpp"

namespace {
using Clock = std::chrono::steady_clock;

constexpr unsigned char IAC = 255;
constexpr unsigned char SB = 250;
constexpr unsigned char SE = 240;
constexpr unsigned char WILL = 251;
constexpr unsigned char DONT = 254;

// A telnet peer sends a line at a time, or a key at a time in character
// mode; a chunk larger than any line the dialogues take keeps reads few.
constexpr std::size_t TELNET_CHUNK = 512;
// In the game a key is the first byte of one read, as a client sends it.
constexpr std::size_t KEY_CHUNK = 127;
// A peer that takes none of a dialogue's text for this long is let go.
constexpr auto WRITE_STALL = std::chrono::seconds(2);

// Milliseconds until the deadline, for poll: 0 once it has passed.
int ms_until(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

// Waits until fd is readable or the deadline passes; true when readable.
bool readable_by(int fd, Deadline deadline)
{
    if (!deadline)
        return true;
    int left = ms_until(*deadline);
    return left > 0 && wait_readable(fd, left);
}

// Read buffers may hold a password: wipe them before they are let go.
void wipe(std::string& s, std::size_t n)
{
    explicit_bzero(s.data(), std::min(n, s.size()));
}
}  // namespace

Deadline earlier(Deadline a, Deadline b)
{
    if (!a || !b)
        return a ? a : b;
    return std::min(*a, *b);
}

void append_network_lines(std::string& out, std::string_view text, bool after_cr)
{
    out.reserve(out.size() + text.size() + text.size() / 32);
    while (!text.empty()) {
        std::size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            out.append(text);
            return;
        }
        out.append(text, 0, lf);
        if (!(lf == 0 ? after_cr : text[lf - 1] == '\r'))
            out += '\r';
        out += '\n';
        after_cr = false;
        text.remove_prefix(lf + 1);
    }
}

std::size_t TelnetFilter::filter(char* data, std::size_t n)
{
    std::size_t out = 0;
    for (std::size_t i = 0; i < n; ++i) {
        auto byte = static_cast<unsigned char>(data[i]);
        switch (m_state) {
        case State::Data:
            if (byte == IAC) {
                m_state = State::Command;
            } else if (byte == 0 && m_after_cr) {
                // CR NUL is the Enter key of a telnet client in character
                // mode; it ends a line as CR LF does.
                data[out++] = '\n';
                m_after_cr = false;
            } else {
                data[out++] = data[i];
                m_after_cr = byte == '\r';
            }
            break;
        case State::Command:
            m_state = State::Data;
            if (byte == IAC) {
                data[out++] = static_cast<char>(IAC);
                m_after_cr = false;
            } else if (byte >= WILL && byte <= DONT) {
                m_state = State::Option;
            } else if (byte == SB) {
                m_state = State::Sub;
            }
            break;
        case State::Option:
            m_state = State::Data;
            break;
        case State::Sub:
            if (byte == IAC)
                m_state = State::SubCommand;
            break;
        case State::SubCommand:
            m_state = byte == SE ? State::Data : State::Sub;
            break;
        }
    }
    return out;
}

LineReader::LineReader(int fd, Peer peer) : m_fd(fd), m_telnet(peer == Peer::Telnet), m_browser(peer == Peer::Browser) {}

LineReader::~LineReader() { drop_buffer(); }

void LineReader::drop_buffer()
{
    wipe(m_buf, m_buf.size());
    m_buf.clear();
}

bool LineReader::limit_passed() const { return m_limit && Clock::now() >= *m_limit; }

bool LineReader::write(std::string_view text)
{
    if (limit_passed())
        return false;
    if (!m_telnet && !m_browser)
        return write_all(m_fd, text);
    std::string data;
    append_network_lines(data, text, m_sent_cr);
    if (!text.empty())
        m_sent_cr = text.back() == '\r';
    return send_within_limit(data);
}

// Without blocking in the kernel, so that neither a peer that reads nothing
// nor a full socket buffer can hold the thread past its limit.
bool LineReader::send_within_limit(std::string_view data)
{
    auto stall = Clock::now() + WRITE_STALL;
    while (!data.empty()) {
        ssize_t n = send(m_fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            stall = Clock::now() + WRITE_STALL;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        int left = ms_until(*earlier(stall, m_limit));
        struct pollfd p { m_fd, POLLOUT, 0 };
        if (left <= 0 || (poll(&p, 1, left) < 0 && errno != EINTR))
            return false;
    }
    return true;
}

bool LineReader::fill(Deadline deadline, std::size_t max)
{
    char chunk[TELNET_CHUNK];
    if (limit_passed() || !readable_by(m_fd, earlier(deadline, m_limit)))
        return false;
    ssize_t n = read_some(m_fd, chunk, std::min(max, sizeof chunk));
    if (n <= 0)
        return false;
    std::size_t kept = static_cast<std::size_t>(n);
    if (m_telnet)
        kept = m_filter.filter(chunk, kept);
    m_buf.append(chunk, kept);
    explicit_bzero(chunk, sizeof chunk);
    return true;
}

bool LineReader::read_line(std::string& out, std::size_t max, Deadline deadline)
{
    if (m_browser)
        return read_edited_line(out, max, deadline);
    out.clear();
    // A peer that keeps answers queued must not outlive its limit on them.
    if (limit_passed())
        return false;
    out.reserve(max);
    for (;;) {
        std::size_t lf = m_buf.find('\n');
        std::size_t body = lf == std::string::npos ? m_buf.size() : lf;
        if (out.size() < max)
            out.append(m_buf, 0, std::min(body, max - out.size()));
        if (lf != std::string::npos) {
            wipe(m_buf, lf + 1);
            m_buf.erase(0, lf + 1);
            // Every reader of these answers takes them as C strings.
            out.resize(strnlen(out.data(), out.size()));
            return true;
        }
        drop_buffer();
        if (!fill(deadline, m_telnet ? TELNET_CHUNK : 1))
            return false;
    }
}

bool LineReader::read_chunk(std::string& out, Deadline deadline)
{
    drop_buffer();
    out.clear();
    if (limit_passed())
        return false;
    // A read that held only telnet negotiation leaves nothing: read again.
    while (m_buf.empty()) {
        if (!fill(deadline, KEY_CHUNK))
            return false;
    }
    out.swap(m_buf);
    m_buf.clear();
    return true;
}

bool LineReader::edit(std::string& line, char byte, std::size_t max, bool hidden, std::string& echo)
{
    bool after_cr = std::exchange(m_after_cr, false);
    if (byte == '\n' && after_cr)
        return false;
    if (byte == '\r' || byte == '\n') {
        m_after_cr = byte == '\r';
        echo += "\r\n";
        return true;
    }
    if (byte == '\x7f' || byte == '\b') {
        if (line.empty())
            return false;
        // A character of several UTF-8 bytes goes as a whole.
        while (line.size() > 1 && (static_cast<unsigned char>(line.back()) & 0xC0) == 0x80)
            line.pop_back();
        line.pop_back();
        if (!hidden)
            echo += "\b \b";
        return false;
    }
    // Beyond the limit nothing is kept, and nothing echoed, so the player
    // sees where the line stopped.
    if (line.size() >= max)
        return false;
    line += byte;
    // Other control bytes (Esc cancels a prompt) are kept but not shown.
    if (!hidden && static_cast<unsigned char>(byte) >= 0x20)
        echo += byte;
    return false;
}

bool LineReader::read_edited_line(std::string& out, std::size_t max, Deadline deadline)
{
    bool hidden = std::exchange(m_hide_next, false);
    out.clear();
    std::string echo;
    for (;;) {
        std::size_t used = 0;
        bool ended = false;
        while (used < m_buf.size() && !ended)
            ended = edit(out, m_buf[used++], max, hidden, echo);
        wipe(m_buf, used);
        m_buf.erase(0, used);
        if (!echo.empty() && !send_within_limit(echo))
            return false;
        echo.clear();
        if (ended) {
            out.resize(strnlen(out.data(), out.size()));
            return true;
        }
        if (!fill(deadline, TELNET_CHUNK))
            return false;
    }
}
