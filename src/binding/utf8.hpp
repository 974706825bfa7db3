#pragma once
// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above U+10FFFF.

#include <cstdint>
#include <cstring>
#include <string_view>

namespace binding {

// The offset of the first byte that does not start a valid sequence, or npos.
inline size_t first_invalid_utf8(std::string_view text) noexcept {
    const auto* const start = reinterpret_cast<const unsigned char*>(text.data());
    const auto* p = start;
    const auto* end = p + text.size();
    while (p < end) {
        // Most output files are ASCII: skip it 32 bytes at a time, then 8.
        constexpr uint64_t kHighBits = 0x8080808080808080ull;
        while (end - p >= 32) {
            uint64_t words[4];
            std::memcpy(words, p, 32);
            if ((words[0] | words[1] | words[2] | words[3]) & kHighBits) break;
            p += 32;
        }
        while (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & kHighBits) break;
            p += 8;
        }
        if (p == end) break;
        unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
        long left = end - p;
        if (lead >= 0xC2 && lead <= 0xDF) {
            if (left < 2 || !continuation(p[1])) return static_cast<size_t>(p - start);
            p += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            if (left < 3) return static_cast<size_t>(p - start);
            unsigned char b1 = p[1];
            bool ok = lead == 0xE0 ? (b1 >= 0xA0 && b1 <= 0xBF)
                      : lead == 0xED ? (b1 >= 0x80 && b1 <= 0x9F)
                                     : continuation(b1);
            if (!ok || !continuation(p[2])) return static_cast<size_t>(p - start);
            p += 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            if (left < 4) return static_cast<size_t>(p - start);
            unsigned char b1 = p[1];
            bool ok = lead == 0xF0 ? (b1 >= 0x90 && b1 <= 0xBF)
                      : lead == 0xF4 ? (b1 >= 0x80 && b1 <= 0x8F)
                                     : continuation(b1);
            if (!ok || !continuation(p[2]) || !continuation(p[3])) return static_cast<size_t>(p - start);
            p += 4;
        } else {
            return static_cast<size_t>(p - start);
        }
    }
    return std::string_view::npos;
}

inline bool is_valid_utf8(std::string_view text) noexcept { return first_invalid_utf8(text) == std::string_view::npos; }

}  // namespace binding
