#pragma once
// Eight bytes of a text as one word, the first in its lowest byte on any machine, and what the
// readers of fields and numbers ask of all eight at once: which bytes are digits, and the digits'
// value.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace core {

inline constexpr uint64_t kEachByte = 0x0101010101010101ull, kHighBits = 0x80 * kEachByte;

// The eight bytes at `at`.
inline uint64_t word_at(const char* at) noexcept {
    uint64_t word;
    std::memcpy(&word, at, 8);
    if constexpr (std::endian::native == std::endian::big) {
        uint64_t swapped = 0;
        for (int i = 0; i < 8; ++i) swapped |= ((word >> (8 * i)) & 0xFF) << (8 * (7 - i));
        word = swapped;
    }
    return word;
}

// Index of the first byte of `bits` that is not zero (there is one).
inline size_t first_byte_of(uint64_t bits) noexcept { return static_cast<size_t>(std::countr_zero(bits)) / 8; }

// The high bit of each byte that is no digit.
inline uint64_t not_digits(uint64_t word) noexcept {
    uint64_t values = word ^ ('0' * kEachByte);
    return (((values & ~kHighBits) + 0x76 * kEachByte) | values) & kHighBits;
}

// The high bit of each byte below `bound` (at most 0x80), exact up to the first of them.
inline uint64_t below(uint64_t word, unsigned bound) noexcept {
    return (word - bound * kEachByte) & ~word & kHighBits;
}

// Eight digit values (0 to 9, the first the most significant; zero bytes are zero digits) as one number.
inline uint32_t digits_value(uint64_t digits) noexcept {
    digits = ((digits * 2561) >> 8) & 0x00FF00FF00FF00FF;
    digits = ((digits * 6553601) >> 16) & 0x0000FFFF0000FFFF;
    return static_cast<uint32_t>((digits * 42949672960001) >> 32);
}

}  // namespace core
