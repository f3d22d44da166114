#include <gtest/gtest.h>

#include "text/sanitize.hpp"

// The C1 controls (raw 0x9B is a whole CSI), bidirectional overrides and
// malformed UTF-8 used to reach other players' screens.
TEST(Sanitize, SanitizerLetC1ControlsBidiOverridesAndMalformedUtf8Through)
{
    const std::string_view valid = " ~caf\xc3\xa9 \xe2\x80\x93 \xe4\xb8\xad \xf0\x9f\x98\x80 \xc2\xa0 \xe2\x80\xaf"
                                   "\xe2\x81\xaa \xf4\x8f\xbf\xbf \xed\x9f\xbf";
    const std::pair<std::string_view, std::string_view> cases[] = {
        { "a\x1b[31mred\x7f\tb\r\n", "a[31mredb" },
        { std::string_view("nul\0byte\x01\x1f", 10), "nulbyte" },
        { "x\x9b" "31my\x85z\x80\x9f", "x31myz" },
        { "x\xc2\x9b" "31my\xc2\x80\xc2\x85\xc2\x9f", "x31my" },
        { "\xe2\x80\xae" "evil\xe2\x80\xaa\xe2\x80\xac\xe2\x81\xa6\xe2\x81\xa9", "evil" },
        { "\xc0\xaf\xc1\xbf\xe0\x80\xaf\xf0\x80\x80\xaf", "" },        // overlong forms
        { "\xed\xa0\x80\xf4\x90\x80\x80\xf5\x80\x80\x80\xff", "" },     // surrogate, past U+10FFFF
        { "a\xe2\x82" "b\x82" "c\xf0\x9f\x98", "abc" },               // cut short, stray continuation
        { valid, valid },                                              // accents, CJK, emoji, neighbours
    };
    for (auto [in, out] : cases)
        EXPECT_EQ(sanitize_text(in), out) << ::testing::PrintToString(std::string(in));
}
