// Talking with a person on a descriptor: what they type, a line or a key at
// a time (telnet negotiation removed, lines assembled across reads, bounded
// in size and, where asked, in time), and the dialogue's texts sent to them.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Strips telnet commands from a byte stream. A telnet client may send
// IAC WILL/WONT/DO/DONT <option>, IAC <command>, and IAC SB ... IAC SE at any
// point; IAC IAC stands for one 0xFF byte, and CR NUL (Enter in character
// mode) becomes CR LF, the Enter of line mode.
// The state carries over between calls, so a sequence split across reads is
// still removed whole.
class TelnetFilter {
public:
    // Filters data[0..n) in place and returns how many bytes remain.
    std::size_t filter(char* data, std::size_t n);

private:
    enum class State : unsigned char { Data, Command, Option, Sub, SubCommand };
    State m_state { State::Data };
    bool m_after_cr { false };
};

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// The earlier of two deadlines; none stands for never.
Deadline earlier(Deadline a, Deadline b);

// Appends text with every line feed as CR LF, the network's line end, so that
// a terminal in raw or character mode starts each line at its left edge. A
// line feed that already follows a carriage return is left as it is;
// after_cr says whether the bytes sent before text ended in one.
void append_network_lines(std::string& out, std::string_view text, bool after_cr = false);

class LineReader {
public:
    // A terminal is read a byte at a time, so nothing past the line is taken
    // from the descriptor, and written as it is; a telnet peer is a socket,
    // read in chunks and filtered, and sent CR LF line ends. A browser's
    // terminal (a socket too) sends keys as they are typed and shows only
    // what it is sent: its lines are echoed back as they are edited,
    // Backspace removes the last character, and Enter (CR, LF or CR LF) ends
    // a line and is echoed as CR LF.
    enum class Peer { Terminal, Telnet, Browser };

    LineReader(int fd, Peer peer);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    int fd() const { return m_fd; }

    // One time limit over every later read and write, whatever is already
    // buffered or queued: once it has passed they all fail. None lifts it.
    void set_limit(Deadline limit) { m_limit = limit; }
    Deadline limit() const { return m_limit; }
    bool limit_passed() const;

    // Sends text (CR LF line ends for a telnet peer). A peer that takes none
    // of it for a while, or past the limit, is given up on. False when not
    // all of it went.
    bool write(std::string_view text);

    // The next line without its line feed, cut at its first NUL, at most max
    // bytes (the rest of a longer line is dropped). Bytes after the line feed
    // stay for the next call. False at end of input, on an error, or when the
    // deadline (or the limit) passes first.
    bool read_line(std::string& out, std::size_t max, Deadline deadline = std::nullopt);

    // The next line read is a secret: a browser's echo shows nothing of it.
    void hide_next_line() { m_hide_next = true; }

    // One read's worth of input for a key, after dropping anything still
    // buffered. A read that held only telnet negotiation does not count.
    // False at end of input, on an error, or when the deadline passes.
    bool read_chunk(std::string& out, Deadline deadline = std::nullopt);

private:
    // Appends one read of at most max bytes, filtered; false at end, error
    // or deadline.
    bool fill(Deadline deadline, std::size_t max);
    void drop_buffer();
    bool send_within_limit(std::string_view data);
    bool read_edited_line(std::string& out, std::size_t max, Deadline deadline);
    // Applies one typed byte to the line; true when it ended the line.
    bool edit(std::string& line, char byte, std::size_t max, bool hidden, std::string& echo);

    int m_fd;
    bool m_telnet;
    bool m_browser;
    Deadline m_limit;
    bool m_sent_cr { false };
    bool m_hide_next { false };
    // The last line ended with CR: a LF right after it belongs to it.
    bool m_after_cr { false };
    TelnetFilter m_filter;
    std::string m_buf;
};
