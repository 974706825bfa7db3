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

#include "core/byte_words.hpp"
#include "core/text_search.hpp"
#include "core/utf8.hpp"

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
    } while (start > 0 && end - start < 3 && core::is_continuation_byte(static_cast<unsigned char>(text[start])));
    size_t length = whitespace_length(text, start);
    return start + length == end ? length : 0;
}

// Index of the first byte at or after `at` that ends a run of blanks, or where fewer than eight
// bytes are left (the callers' own test reads on); output files pad their columns with long runs
// of blanks, and a field's number with a few.
inline size_t skip_blank_words(std::string_view text, size_t at) noexcept {
    constexpr uint64_t kBlanks = 0x2020202020202020ull;
    while (text.size() - at >= 8) {
        uint64_t others = core::word_at(text.data() + at) ^ kBlanks;
        if (others) return at + core::first_byte_of(others);
        at += 8;
    }
    return at;
}

// Index of the first byte at or after `at` that may be White_Space (one not above the blank,
// or not ASCII), or where fewer than eight bytes are left (the caller's own test reads on).
inline size_t skip_field_bytes(std::string_view text, size_t at) noexcept {
    while (text.size() - at >= 8) {
        uint64_t word = core::word_at(text.data() + at);
        uint64_t stops = core::below(word, 0x21) | (word & core::kHighBits);  // and the bytes above 0x7F
        if (stops) return at + core::first_byte_of(stops);
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

// Reads a text front to back as lines. A line ends at "\n" (a "\r" before it goes too);
// text after the last "\n" is a final line, kept as it is.
class LineCursor {
public:
    // `hits`, if given, are those of the whole `text`, and outlive the cursor.
    explicit LineCursor(std::string_view text, const core::TextHits* hits = nullptr)
        : rest_(text), start_(text.data()), hits_(hits, hits ? 1 : 0) {}
    // The same with the hits of several needles.
    LineCursor(std::string_view text, std::span<const core::TextHits> hits) : rest_(text), start_(text.data()), hits_(hits) {}

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

    // Takes lines up to and including the next one that holds `needle` anywhere and returns it;
    // the lines before it are passed over unexamined, as by next_heading.
    std::optional<std::string_view> next_holding(std::string_view needle) noexcept {
        const char* hit = rest_.empty() ? nullptr : next_hit(needle);
        if (!hit) {
            rest_ = {};
            return std::nullopt;
        }
        rest_.remove_prefix(start_of_line(static_cast<size_t>(hit - rest_.data())));
        return next();
    }

private:
    // The first occurrence of `needle` in the rest (which is not empty), or nullptr.
    const char* next_hit(std::string_view needle) const noexcept {
        auto found = std::find_if(hits_.begin(), hits_.end(), [&](const core::TextHits& hits) { return hits.needle == needle; });
        if (found == hits_.end()) return core::find_text(rest_, needle);
        size_t from = static_cast<size_t>(rest_.data() - start_);
        auto next = std::lower_bound(found->offsets.begin(), found->offsets.end(), from);
        return next == found->offsets.end() ? nullptr : start_ + *next;
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
    std::span<const core::TextHits> hits_;
};

// The maximal runs of non-whitespace characters of a text, in order.
class Fields {
public:
    explicit Fields(std::string_view text) : rest_(text) {}

    std::optional<std::string_view> next() noexcept {
        rest_ = trim_start(rest_);
        if (rest_.empty()) return std::nullopt;
        size_t end = skip_field_bytes(rest_, 1);
        while (end < rest_.size()) {
            // Printable ASCII is never whitespace: most bytes of a field end the test here.
            auto byte = static_cast<unsigned char>(rest_[end]);
            if ((byte <= 0x20 || byte >= 0x80) && whitespace_length(rest_, end) != 0) break;
            ++end;
        }
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
