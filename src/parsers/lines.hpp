#pragma once
// Shared text tools: the line cursor, Unicode White_Space, fields and the heading test.
// All work on valid UTF-8 and hand out views into the text, never copies.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "parsers/byte_vectors.hpp"

namespace parsers {

inline bool is_ascii_whitespace(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Byte length of the White_Space character that starts at `at`, or 0 if it is none.
inline size_t whitespace_length(std::string_view text, size_t at) noexcept {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) return is_ascii_whitespace(lead) ? 1 : 0;
    size_t left = text.size() - at;
    switch (lead) {
        case 0xC2:  // U+0085, U+00A0
            return left >= 2 && (byte(1) == 0x85 || byte(1) == 0xA0) ? 2 : 0;
        case 0xE1:  // U+1680
            return left >= 3 && byte(1) == 0x9A && byte(2) == 0x80 ? 3 : 0;
        case 0xE2:
            if (left < 3) return 0;
            if (byte(1) == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
                unsigned char b = byte(2);
                return (b <= 0x8A || b == 0xA8 || b == 0xA9 || b == 0xAF) ? 3 : 0;
            }
            return byte(1) == 0x81 && byte(2) == 0x9F ? 3 : 0;  // U+205F
        case 0xE3:  // U+3000
            return left >= 3 && byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
        default:
            return 0;
    }
}

// Byte length of the White_Space character that ends just before `end`, or 0.
inline size_t whitespace_length_before(std::string_view text, size_t end) noexcept {
    size_t start = end;
    // Back over continuation bytes to the lead byte; White_Space is at most 3 bytes long.
    do {
        --start;
    } while (start > 0 && end - start < 3 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80);
    size_t length = whitespace_length(text, start);
    return start + length == end ? length : 0;
}

// Index of the first byte at or after `at` that ends a run of blanks; output files pad
// their columns with long runs of them.
inline size_t skip_blank_words(std::string_view text, size_t at) noexcept {
    constexpr uint64_t kBlanks = 0x2020202020202020ull;
    while (text.size() - at >= 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + at, 8);
        if (word != kBlanks) break;
        at += 8;
    }
    return at;
}

inline std::string_view trim_start(std::string_view text) noexcept {
    size_t at = skip_blank_words(text, 0);
    while (at < text.size()) {
        size_t length = whitespace_length(text, at);
        if (length == 0) break;
        at += length;
    }
    return text.substr(at);
}

inline std::string_view trim_end(std::string_view text) noexcept {
    size_t end = text.size();
    while (end > 0) {
        size_t length = whitespace_length_before(text, end);
        if (length == 0) break;
        end -= length;
    }
    return text.substr(0, end);
}

inline std::string_view trim(std::string_view text) noexcept { return trim_end(trim_start(text)); }

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

// Reads a text front to back as lines. A line ends at "\n" (a "\r" before it goes too);
// text after the last "\n" is a final line, kept as it is.
class LineCursor {
public:
    // `hits`, if given, are those of the whole `text`, and outlive the cursor.
    explicit LineCursor(std::string_view text, const TextHits* hits = nullptr)
        : rest_(text), start_(text.data()), hits_(hits) {}

    std::optional<std::string_view> next() noexcept {
        if (rest_.empty()) return std::nullopt;
        const void* newline = std::memchr(rest_.data(), '\n', rest_.size());
        if (!newline) {
            std::string_view last = rest_;
            rest_ = {};
            return last;
        }
        size_t end = static_cast<size_t>(static_cast<const char*>(newline) - rest_.data());
        std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    }

    // Takes lines up to and including the next one that is `heading` (see is_heading) and
    // returns it. The lines before it are passed over unexamined, so instead of cutting
    // them into lines this looks for the heading text and checks the line around it.
    std::optional<std::string_view> next_heading(std::string_view heading) noexcept {
        return next_heading(heading, std::span(&heading, 1));
    }

    // The same for the next line that is any of `headings`, each of which holds `common`:
    // one search for `common` finds them all.
    std::optional<std::string_view> next_heading(std::string_view common,
                                                 std::span<const std::string_view> headings) noexcept {
        while (!rest_.empty()) {
            const char* hit = next_hit(common);
            if (!hit) break;
            size_t at = static_cast<size_t>(hit - rest_.data());
            size_t line_start = start_of_line(at);
            for (std::string_view heading : headings) {
                size_t inside = heading.find(common);
                if (at - line_start < inside) continue;
                size_t start = at - inside, after = start + heading.size();
                if (rest_.substr(start, heading.size()) != heading) continue;
                if (!trim_start(rest_.substr(line_start, start - line_start)).empty()) continue;
                size_t line_end = end_of_heading_line(after);
                if (line_end == std::string_view::npos) continue;
                std::string_view line = rest_.substr(line_start, after - line_start);
                rest_.remove_prefix(line_end);
                return line;
            }
            // On a line that is a heading, `common` first stands where the heading holds it (it
            // starts with no whitespace): no later match on this line can be one.
            const void* newline = std::memchr(hit, '\n', rest_.size() - at);
            if (!newline) break;
            rest_.remove_prefix(static_cast<size_t>(static_cast<const char*>(newline) - rest_.data()) + 1);
        }
        rest_ = {};
        return std::nullopt;
    }

private:
    // The first occurrence of `needle` in the rest (which is not empty), or nullptr.
    const char* next_hit(std::string_view needle) const noexcept {
        if (!hits_ || hits_->needle != needle) return find_text(rest_, needle);
        size_t from = static_cast<size_t>(rest_.data() - start_);
        auto next = std::lower_bound(hits_->offsets.begin(), hits_->offsets.end(), from);
        return next == hits_->offsets.end() ? nullptr : start_ + *next;
    }

    size_t start_of_line(size_t at) const noexcept {
        size_t start = at;
        while (start > 0 && rest_[start - 1] != '\n') --start;
        return start;
    }

    // Where the rest begins when a heading ends at `after`, or npos if more follows on its line.
    size_t end_of_heading_line(size_t after) const noexcept {
        if (after == rest_.size()) return after;
        if (rest_[after] == '\n') return after + 1;
        if (rest_[after] == '\r' && after + 1 < rest_.size() && rest_[after + 1] == '\n') return after + 2;
        return std::string_view::npos;
    }

    std::string_view rest_;
    const char* start_;
    const TextHits* hits_;
};

// The maximal runs of non-whitespace characters of a text, in order.
class Fields {
public:
    explicit Fields(std::string_view text) : rest_(text) {}

    std::optional<std::string_view> next() noexcept {
        rest_ = trim_start(rest_);
        if (rest_.empty()) return std::nullopt;
        size_t end = 1;
        while (end < rest_.size() && whitespace_length(rest_, end) == 0) ++end;
        std::string_view field = rest_.substr(0, end);
        rest_.remove_prefix(end);
        return field;
    }

private:
    std::string_view rest_;
};

// A line is a heading when, after its leading whitespace, it is the heading exactly:
// trailing whitespace is kept, so a heading followed by a blank is another line.
inline bool is_heading(std::string_view line, std::string_view heading) noexcept {
    // Most lines fail on their first byte; only then is whitespace worth looking at.
    if (line.size() < heading.size()) return false;
    if (line.size() == heading.size()) return line == heading;
    return trim_start(line) == heading;
}

// Splits at ':' like a lazy split: the piece before the first ':' and the piece after it,
// up to the next ':' or the end. No ':' means no second piece.
struct ColonPieces {
    std::string_view first;
    std::optional<std::string_view> second;
};

inline ColonPieces split_at_colons(std::string_view line) noexcept {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {line, std::nullopt};
    std::string_view after = line.substr(colon + 1);
    return {line.substr(0, colon), after.substr(0, after.find(':'))};
}

}  // namespace parsers
