// Byte builders shared by the frame layers: cursor moves, numbers and text
// fields appended straight to the frame buffer without printf.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace frame_text {

// The renderer's own colours; records carry the rest in their colour fields.
constexpr std::string_view RESET = "\x1b[0m";
constexpr std::string_view WHITE = "\x1b[37m";
constexpr std::string_view GREY = "\x1b[90m";
constexpr std::string_view YELLOW = "\x1b[93m";
constexpr std::string_view BLUE = "\x1b[94m";
constexpr std::string_view MAGENTA = "\x1b[95m";
constexpr std::string_view CYAN = "\x1b[96m";

// A text field of a record is read only up to its width, so a field whose
// terminator was lost (a damaged save) cannot make the frame read past it.
template <std::size_t N>
std::string_view field(const char (&text)[N])
{
    return std::string_view(text, strnlen(text, N));
}

// Writes the decimal form of n at p and returns the end; room for 11 bytes.
inline char* put_int(char* p, int n)
{
    return std::to_chars(p, p + 11, n).ptr;
}

// Writes "ESC[row;colH" at p and returns the end; room for 25 bytes.
inline char* put_pos(char* p, int row, int col)
{
    *p++ = '\x1b';
    *p++ = '[';
    p = put_int(p, row);
    *p++ = ';';
    p = put_int(p, col);
    *p++ = 'H';
    return p;
}

inline void append_int(std::string& out, int n)
{
    char buf[12];
    out.append(buf, static_cast<std::size_t>(put_int(buf, n) - buf));
}

inline void append_pos(std::string& out, int row, int col)
{
    char buf[26];
    out.append(buf, static_cast<std::size_t>(put_pos(buf, row, col) - buf));
}

// One glyph at a screen position in the given colour: "ESC[r;cH" colour glyph.
inline void append_glyph(std::string& out, int row, int col, std::string_view color, char glyph)
{
    append_pos(out, row, col);
    out.append(color);
    out.push_back(glyph);
}

}  // namespace frame_text
