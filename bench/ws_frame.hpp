#pragma once
// WebSocket frame headers, written and read in place by the benchmark's own framing.

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::bench {

// The header of an unmasked, final text frame of `size` payload bytes.
inline std::string text_frame_header(std::size_t size) {
    std::string h(1, '\x81');
    if (size < 126) {
        h += static_cast<char>(size);
    } else if (size < 65536) {
        h += '\x7e';
        h += static_cast<char>(size >> 8);
        h += static_cast<char>(size & 0xff);
    } else {
        h += '\x7f';
        for (int i = 7; i >= 0; --i)
            h += static_cast<char>((size >> (8 * i)) & 0xff);
    }
    return h;
}

// Length of the frame header at `p` (with `n` bytes available), masking key included, and its
// payload size; 0 when the header is not complete yet.
inline std::size_t read_frame_header(const unsigned char* p, std::size_t n, std::uint64_t& size) {
    if (n < 2) return 0;
    const std::size_t mask = (p[1] & 0x80) != 0 ? 4 : 0;
    size = p[1] & 0x7f;
    if (size < 126) return n < 2 + mask ? 0 : 2 + mask;
    const std::size_t extra = size == 126 ? 2 : 8;
    if (n < 2 + extra + mask) return 0;
    size = 0;
    for (std::size_t i = 0; i < extra; ++i)
        size = (size << 8) | p[2 + i];
    return 2 + extra + mask;
}

}  // namespace corvane::bench
