// What a peer types: telnet commands removed wherever they are split, lines
// assembled across reads, kept for the next prompt, bounded in size and time.
#include <gtest/gtest.h>

#include <chrono>
#include <sys/socket.h>
#include <thread>

#include "support/test_support.hpp"
#include "term/line_reader.hpp"

namespace {
const std::string IAC = "\xff";

// The filter fed one byte at a time must give what it gives in one piece.
std::string filtered(const std::string& in, bool bytewise)
{
    TelnetFilter f;
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
        std::string piece = in.substr(i, bytewise ? 1 : in.size());
        i += piece.size();
        piece.resize(f.filter(piece.data(), piece.size()));
        out += piece;
    }
    return out;
}
}  // namespace

TEST(TelnetFilter, NegotiationIsRemovedEvenWhenSplitAndEscapesSurvive)
{
    const std::pair<std::string, std::string> cases[] = {
        { IAC + "\xfb\x01" + IAC + "\xfd\x03" + "bob\r\n", "bob\r\n" },          // WILL ECHO, DO SGA
        { "a" + IAC + "\xfa\x18\x00xterm" + IAC + "\xf0" + "b", "ab" },           // SB TTYPE ... SE
        { IAC + "\xfa" + IAC + IAC + "x" + IAC + "\xf0" + "c", "c" },             // an escaped IAC inside SB
        { "p" + IAC + IAC + "w", "p\xffw" },                                      // IAC IAC is one 0xFF
        { IAC + "\xf1" + IAC + "\xf4" + "1", "1" },                               // NOP, IP
        { std::string("a\r\0b\0", 5), std::string("a\r\nb\0", 5) },             // CR NUL is Enter; other NULs stay
    };
    for (const auto& [in, out] : cases)
        for (bool bytewise : { false, true })
            EXPECT_EQ(filtered(in, bytewise), out) << testing::PrintToString(in) << bytewise;
}

TEST(LineReader, LinesAreAssembledKeptForTheNextPromptAndBounded)
{
    test::SocketPair sp;
    LineReader in(sp.ours, LineReader::Peer::Telnet);
    std::string line;
    for (const char* part : { "sp", "li", "tname\n" }) {  // a key per packet, as in character mode
        test::write_text(sp.peer, part);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(in.read_line(line, 63));
    EXPECT_EQ(line, "splitname");
    test::write_text(sp.peer, "r\nbob\n" + std::string(100, 'x') + std::string("\nnul\0cut\n5", 10));
    for (const char* want : { "r", "bob", "xxxxxxxxxx", "nul" }) {
        ASSERT_TRUE(in.read_line(line, 10));
        EXPECT_EQ(line, want);
    }
    // In the game a key is one read: what was buffered and the rest of the read go.
    test::write_text(sp.peer, IAC + "\xfb\x01");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    test::write_text(sp.peer, "8642");
    ASSERT_TRUE(in.read_chunk(line));
    EXPECT_EQ(line, "8642") << "negotiation alone is not a key";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(in.read_line(line, 10, start + std::chrono::milliseconds(100)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    sp.close_peer();
    EXPECT_FALSE(in.read_chunk(line));
}
