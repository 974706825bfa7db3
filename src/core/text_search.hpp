#pragma once
// Searching a whole text for a needle, by vectors of candidate positions: the line cursor's
// heading search and the column reader's scan of each file.

#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/byte_vectors.hpp"

namespace core {

// Lanes of the `Width` positions from `at` where a needle of `size` bytes may start: its first
// and its last byte (`first`, `last`, in every lane) are in place.
template <size_t Width>
[[gnu::always_inline]] inline ByteVector<Width> candidate_lanes(const char* at, size_t size, ByteVector<Width> first,
                                                                ByteVector<Width> last) noexcept {
    return (load_bytes<Width>(at) == first) & (load_bytes<Width>(at + size - 1) == last);
}

// The first of `Width` positions from `at` where `needle` starts, if any.
template <size_t Width>
[[gnu::always_inline]] inline const char* first_match(const char* at, std::string_view needle,
                                                      ByteVector<Width> first, ByteVector<Width> last) noexcept {
    const size_t n = needle.size();
    ByteVector<Width> mask = candidate_lanes<Width>(at, n, first, last);
    if (!any_lane<Width>(mask)) return nullptr;
    for (size_t i = 0; i < Width; ++i) {
        if (mask[i] && std::memcmp(at + i + 1, needle.data() + 1, n - 2) == 0) return at + i;
    }
    return nullptr;
}

// The first occurrence of `needle` (two bytes long at least) in `text`, by `Width` candidate
// positions at a time: those whose first and last bytes both match are compared whole; four
// such groups per step while they fit, which halves the branches over text without candidates.
template <size_t Width>
[[gnu::always_inline]] inline const char* find_text_by(std::string_view text, std::string_view needle) noexcept {
    const size_t n = needle.size();
    if (text.size() < n) return nullptr;
    const char* p = text.data();
    const char* const last_start = text.data() + (text.size() - n);  // the last candidate
    const ByteVector<Width> first = splat<Width>(needle.front());
    const ByteVector<Width> last = splat<Width>(needle.back());
    while (static_cast<size_t>(last_start - p) >= 4 * Width) {
        ByteVector<Width> masks{};
        for (size_t k = 0; k < 4; ++k) masks |= candidate_lanes<Width>(p + k * Width, n, first, last);
        if (any_lane<Width>(masks)) {
            for (size_t k = 0; k < 4; ++k) {
                if (const char* hit = first_match<Width>(p + k * Width, needle, first, last)) return hit;
            }
        }
        p += 4 * Width;
    }
    for (; static_cast<size_t>(last_start - p) >= Width; p += Width) {
        if (const char* hit = first_match<Width>(p, needle, first, last)) return hit;
    }
    for (; p <= last_start; ++p) {
        if (*p == needle.front() && std::memcmp(p, needle.data(), n) == 0) return p;
    }
    return nullptr;
}

#ifdef SKAV_WIDE_VECTORS
SKAV_WIDE_TARGET inline const char* find_text_wide(std::string_view text, std::string_view needle) noexcept {
    return find_text_by<32>(text, needle);
}
#endif

// The first occurrence of `needle` (two bytes long at least) in `text`, or nullptr.
inline const char* find_text(std::string_view text, std::string_view needle) noexcept {
#ifdef SKAV_WIDE_VECTORS
    if (has_wide_vectors()) return find_text_wide(text, needle);
#endif
    return find_text_by<16>(text, needle);
}

// Every place where `needle` occurs in a whole text, overlapping ones included, in order: found
// by a pass that reads the text anyway, so that a cursor over it need not search again.
struct TextHits {
    std::string_view needle;
    std::vector<size_t> offsets;
};

}  // namespace core
