#include <gtest/gtest.h>

#include "core/text/utf8_check.hpp"

namespace corvane {
namespace {

TEST(Utf8Check, AsciiMultibyteAndInvalid) {
    EXPECT_EQ(check_utf8(""), Utf8::ascii);
    EXPECT_EQ(check_utf8(std::string(1000, 'a')), Utf8::ascii);
    EXPECT_EQ(check_utf8("price é €😀"), Utf8::multibyte);
    // Non-ASCII right after an eight-byte ASCII run, and at the very end.
    EXPECT_EQ(check_utf8("abcdefgh\xc3\xa9"), Utf8::multibyte);
    EXPECT_EQ(check_utf8("abcdefghi\xc3"), Utf8::invalid);     // truncated sequence
    EXPECT_EQ(check_utf8("\xc0\xaf"), Utf8::invalid);          // overlong slash
    EXPECT_EQ(check_utf8("\xed\xa0\x80"), Utf8::invalid);      // a surrogate
    EXPECT_EQ(check_utf8("\xf4\x90\x80\x80"), Utf8::invalid);  // beyond U+10FFFF
    EXPECT_EQ(check_utf8("abcdefgh\xff"), Utf8::invalid);
    EXPECT_EQ(check_utf8(std::string("a\0b", 3)), Utf8::ascii);
}

// The scan goes in blocks of 32 and 8 bytes: a non-ASCII byte is found at any offset.
TEST(Utf8Check, FindsNonAsciiAtEveryOffset) {
    for (std::size_t at = 0; at < 100; ++at) {
        std::string text(100, 'a');
        text[at] = '\xff';
        EXPECT_EQ(check_utf8(text), Utf8::invalid) << at;
        text.replace(at, 1, "\xc3\xa9");
        EXPECT_EQ(check_utf8(text), Utf8::multibyte) << at;
    }
}

}  // namespace
}  // namespace corvane
