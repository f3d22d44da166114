// The ttyrec recording format that ttyplay and ipbt play: each frame is a
// 12-byte header (seconds, microseconds, length, little-endian 32-bit each)
// followed by that many bytes of terminal output.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

constexpr std::size_t TTYREC_HEADER_BYTES = 12;
// No frame of ours comes near this; a larger length in a file means damage.
constexpr std::uint32_t TTYREC_MAX_FRAME = 16u << 20;

struct TtyrecTime {
    std::uint32_t sec { 0 };
    std::uint32_t usec { 0 };
    friend auto operator<=>(const TtyrecTime&, const TtyrecTime&) = default;
};

using TtyrecHeader = std::array<unsigned char, TTYREC_HEADER_BYTES>;

TtyrecHeader encode_ttyrec_header(TtyrecTime time, std::uint32_t length);

struct TtyrecFrame {
    TtyrecTime time;
    std::string_view bytes;  // points into the recording it was parsed from
};

// The whole frames of a recording, in order. whole_bytes is where the last
// whole frame ends; anything after it is a torn frame or damage.
struct TtyrecParse {
    std::vector<TtyrecFrame> frames;
    std::size_t whole_bytes { 0 };
};
TtyrecParse parse_ttyrec(std::string_view recording);

// The same walk over an open file, reading only the headers: where its whole
// frames end and the time of the last one. size_known is the file's size.
struct TtyrecScan {
    std::uint64_t whole_bytes { 0 };
    TtyrecTime last;
    bool ok { false };  // false when a read failed
};
TtyrecScan scan_ttyrec_file(int fd, std::uint64_t file_size);
