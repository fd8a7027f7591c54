#include "core/text/utf8_check.hpp"

#include <websocketpp/utf8_validator.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvane {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

#if defined(__SSE2__)
// Whether the 64 bytes at p are all ASCII: four 16-byte loads OR-ed, one test of the high bits.
constexpr std::ptrdiff_t kBlock = 64;
bool ascii_block(const char* p) {
    const auto load = [p](std::ptrdiff_t i) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    };
    const __m128i any =
        _mm_or_si128(_mm_or_si128(load(0), load(1)), _mm_or_si128(load(2), load(3)));
    return _mm_movemask_epi8(any) == 0;
}
#else
// Whether the 32 bytes at p are all ASCII: four words OR-ed, one branch per block.
constexpr std::ptrdiff_t kBlock = 32;
bool ascii_block(const char* p) {
    std::uint64_t w[4];
    std::memcpy(w, p, sizeof w);
    return ((w[0] | w[1] | w[2] | w[3]) & kHighBits) == 0;
}
#endif

}  // namespace

Utf8 check_utf8(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (end - p >= kBlock && ascii_block(p))
        p += kBlock;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word & kHighBits) break;
        p += 8;
    }
    while (p < end && (static_cast<unsigned char>(*p) & 0x80) == 0)
        ++p;
    if (p == end) return Utf8::ascii;
    // Everything before p is ASCII, so p starts a code point (or is invalid by itself).
    websocketpp::utf8_validator::validator validator;
    return validator.decode(p, end) && validator.complete() ? Utf8::multibyte : Utf8::invalid;
}

}  // namespace corvane
