#pragma once
// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above U+10FFFF.

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/byte_vectors.hpp"

namespace core {

// A byte that goes on a character begun before it.
inline bool is_continuation_byte(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

// Where the ASCII run from `p` ends: `Width` × 4 bytes a step while they are all ASCII, as
// most output files are, then 8.
template <size_t Width>
[[gnu::always_inline]] inline const unsigned char* end_of_ascii(const unsigned char* p,
                                                                 const unsigned char* end) noexcept {
    while (end - p >= static_cast<long>(4 * Width)) {
        const char* at = reinterpret_cast<const char*>(p);
        ByteVector<Width> bytes = load_bytes<Width>(at) | load_bytes<Width>(at + Width) |
                                  load_bytes<Width>(at + 2 * Width) |
                                  load_bytes<Width>(at + 3 * Width);
        if (any_lane<Width>(bytes < 0)) break;
        p += 4 * Width;
    }
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & kHighBits) break;
        p += 8;
    }
    return p;
}

// The offset of the first byte that does not start a valid sequence, or npos.
template <size_t Width>
[[gnu::always_inline]] inline size_t first_invalid_utf8_by(std::string_view text) noexcept {
    const auto* const start = reinterpret_cast<const unsigned char*>(text.data());
    const auto* p = start;
    const auto* end = p + text.size();
    while (p < end) {
        p = end_of_ascii<Width>(p, end);
        if (p == end) break;
        unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        long left = end - p;
        if (lead >= 0xC2 && lead <= 0xDF) {
            if (left < 2 || !is_continuation_byte(p[1])) return static_cast<size_t>(p - start);
            p += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            if (left < 3) return static_cast<size_t>(p - start);
            unsigned char b1 = p[1];
            bool ok = lead == 0xE0 ? (b1 >= 0xA0 && b1 <= 0xBF)
                      : lead == 0xED ? (b1 >= 0x80 && b1 <= 0x9F)
                                     : is_continuation_byte(b1);
            if (!ok || !is_continuation_byte(p[2])) return static_cast<size_t>(p - start);
            p += 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            if (left < 4) return static_cast<size_t>(p - start);
            unsigned char b1 = p[1];
            bool ok = lead == 0xF0 ? (b1 >= 0x90 && b1 <= 0xBF)
                      : lead == 0xF4 ? (b1 >= 0x80 && b1 <= 0x8F)
                                     : is_continuation_byte(b1);
            if (!ok || !is_continuation_byte(p[2]) || !is_continuation_byte(p[3])) return static_cast<size_t>(p - start);
            p += 4;
        } else {
            return static_cast<size_t>(p - start);
        }
    }
    return std::string_view::npos;
}

#ifdef SKAV_WIDE_VECTORS
SKAV_WIDE_TARGET inline size_t first_invalid_utf8_wide(std::string_view text) noexcept {
    return first_invalid_utf8_by<32>(text);
}
#endif

inline size_t first_invalid_utf8(std::string_view text) noexcept {
#ifdef SKAV_WIDE_VECTORS
    if (has_wide_vectors()) return first_invalid_utf8_wide(text);
#endif
    return first_invalid_utf8_by<16>(text);
}

inline bool is_valid_utf8(std::string_view text) noexcept { return first_invalid_utf8(text) == std::string_view::npos; }

}  // namespace core
