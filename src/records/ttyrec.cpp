#include "records/ttyrec.hpp"

#include <cerrno>
#include <unistd.h>

namespace {

void put_le32(unsigned char* out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t get_le32(const unsigned char* in)
{
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8
        | static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

struct Header {
    TtyrecTime time;
    std::uint32_t length;
};

// A header whose microseconds or length no recorder writes marks the end of
// what can be trusted.
bool plausible(const Header& h) { return h.time.usec < 1000000 && h.length <= TTYREC_MAX_FRAME; }

Header decode(const unsigned char* in)
{
    return { { get_le32(in), get_le32(in + 4) }, get_le32(in + 8) };
}

bool pread_all(int fd, unsigned char* out, std::size_t size, std::uint64_t at)
{
    while (size > 0) {
        ssize_t n = pread(fd, out, size, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        size -= static_cast<std::size_t>(n);
        at += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

TtyrecHeader encode_ttyrec_header(TtyrecTime time, std::uint32_t length)
{
    TtyrecHeader h {};
    put_le32(h.data(), time.sec);
    put_le32(h.data() + 4, time.usec);
    put_le32(h.data() + 8, length);
    return h;
}

TtyrecParse parse_ttyrec(std::string_view recording)
{
    TtyrecParse out;
    const auto* base = reinterpret_cast<const unsigned char*>(recording.data());
    std::size_t at = 0;
    while (recording.size() - at >= TTYREC_HEADER_BYTES) {
        Header h = decode(base + at);
        if (!plausible(h) || recording.size() - at - TTYREC_HEADER_BYTES < h.length)
            break;
        out.frames.push_back({ h.time, recording.substr(at + TTYREC_HEADER_BYTES, h.length) });
        at += TTYREC_HEADER_BYTES + h.length;
    }
    out.whole_bytes = at;
    return out;
}

TtyrecScan scan_ttyrec_file(int fd, std::uint64_t file_size)
{
    TtyrecScan scan;
    while (file_size - scan.whole_bytes >= TTYREC_HEADER_BYTES) {
        unsigned char raw[TTYREC_HEADER_BYTES];
        if (!pread_all(fd, raw, sizeof raw, scan.whole_bytes))
            return scan;
        Header h = decode(raw);
        if (!plausible(h) || file_size - scan.whole_bytes - TTYREC_HEADER_BYTES < h.length)
            break;
        scan.last = h.time;
        scan.whole_bytes += TTYREC_HEADER_BYTES + h.length;
    }
    scan.ok = true;
    return scan;
}
