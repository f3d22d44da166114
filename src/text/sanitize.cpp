#include "text/sanitize.hpp"

namespace {
// The length a sequence starting with this byte has, or 0 for a byte that
// cannot start one: a continuation byte, the overlong leads 0xC0 and 0xC1,
// and the leads of code points past U+10FFFF.
std::size_t sequence_length(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// The length of the well-formed UTF-8 sequence at the start of text, or 0 when
// there is none. Overlong forms, surrogates and code points past U+10FFFF are
// not well formed, so no terminal has to guess what they mean.
std::size_t utf8_length(std::string_view text)
{
    auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    std::size_t len = sequence_length(lead);
    if (len == 0 || text.size() < len)
        return 0;
    if (len == 1)
        return 1;
    // The second byte's range is narrower after the leads that could
    // otherwise spell an overlong form, a surrogate or too large a value.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < len; ++i)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    return len;
}

// The code point of one well-formed sequence.
char32_t decode(std::string_view sequence)
{
    auto lead = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1)
        return lead;
    char32_t cp = lead & (0x7F >> sequence.size());
    for (std::size_t i = 1; i < sequence.size(); ++i)
        cp = (cp << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
    return cp;
}

// Whether a code point may reach another player's screen. The C0 and C1
// controls and DEL start terminal escapes (U+009B is a whole CSI), and the
// bidirectional overrides and isolates reorder the rest of a line, so a name
// could pose as someone else's text.
bool printable(char32_t cp)
{
    return cp >= 0x20 && !(cp >= 0x7F && cp <= 0x9F) && !(cp >= 0x202A && cp <= 0x202E)
        && !(cp >= 0x2066 && cp <= 0x2069);
}
}  // namespace

std::string sanitize_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t len = utf8_length(text.substr(at));
        if (len == 0) {
            ++at;
            continue;
        }
        if (printable(decode(text.substr(at, len))))
            out.append(text.substr(at, len));
        at += len;
    }
    return out;
}
