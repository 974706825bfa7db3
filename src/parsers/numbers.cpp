#include "parsers/numbers.hpp"

#include <bit>
#include <charconv>
#include <cstring>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

// Standard libraries without float from_chars (libc++ before 20) read with strtof_l.
#if !defined(SKAV_USE_STRTOF) && !(defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L)
#define SKAV_USE_STRTOF 1
#endif

#ifdef SKAV_USE_STRTOF
#include <clocale>
#include <cstdlib>
#if __has_include(<xlocale.h>)
#include <xlocale.h>
#endif
#endif

#include "core/byte_words.hpp"
#include "core/check.hpp"

namespace parsers {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr const char* kIntError = "ParseIntError";
constexpr const char* kFloatError = "ParseFloatError";

// Reads left to right; the first problem met decides the kind, a bad digit before an overflow.
template <typename Int>
Parsed<Int> parse_integer(std::string_view text) {
    auto error = [](const char* kind) { return Parsed<Int>{{}, {kIntError, kind}}; };
    if (text.empty()) return error("Empty");
    bool negative = false;
    if (text.size() == 1 && (text[0] == '+' || text[0] == '-')) return error("InvalidDigit");
    if (text[0] == '+') {
        text.remove_prefix(1);
    } else if (text[0] == '-' && std::numeric_limits<Int>::is_signed) {
        negative = true;
        text.remove_prefix(1);
    }
    // Accumulate towards the sign so that the type's minimum is reachable.
    int64_t value = 0;
    constexpr int64_t kMax = std::numeric_limits<Int>::max();
    constexpr int64_t kMin = std::numeric_limits<Int>::min();
    for (char c : text) {
        if (!is_digit(c)) return error("InvalidDigit");
        int digit = c - '0';
        value = value * 10 + (negative ? -digit : digit);
        if (value > kMax) return error("PosOverflow");
        if (value < kMin) return error("NegOverflow");
    }
    return {static_cast<Int>(value), {}};
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

template <typename Float>
std::optional<Float> read_special(std::string_view word) {
    if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
        return std::numeric_limits<Float>::infinity();
    }
    if (equals_ignoring_case(word, "nan")) return std::numeric_limits<Float>::quiet_NaN();
    return std::nullopt;
}

// Digits, an optional '.' and fraction (one digit at least in all), an optional exponent.
bool is_decimal(std::string_view text) {
    size_t i = 0, digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        size_t exponent_start = i;
        while (i < text.size() && is_digit(text[i])) ++i;
        if (i == exponent_start) return false;
    }
    return i == text.size();
}

#ifndef SKAV_USE_STRTOF
// Whether a decimal text out of the float range is huge (else it is tiny): the decimal
// exponent of its first significant digit, saturated, is enough to tell the two apart.
bool is_huge(std::string_view text) {
    int64_t position = 0;  // power of ten of the first significant digit, plus one
    size_t i = 0;
    bool seen_significant = false, after_point = false;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] == '.') {
            after_point = true;
        } else if (!seen_significant && text[i] != '0') {
            seen_significant = true;
            if (!after_point) ++position;
        } else if (!seen_significant && after_point) {
            --position;
        } else if (seen_significant && !after_point) {
            if (position < (int64_t{1} << 40)) ++position;
        }
    }
    int64_t exponent = 0;
    if (i < text.size()) {
        ++i;
        bool negative = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        for (; i < text.size(); ++i) {
            if (exponent < (int64_t{1} << 40)) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return position + exponent > 0;
}

#endif

template <typename Float>
constexpr Float kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};
template <typename Float>
constexpr uint64_t kMostMantissa = uint64_t{1} << std::numeric_limits<Float>::digits;

// The bytes of a text of one to eight as the last of eight (a little-endian word), the others
// zero: two loads that may overlap, of equal bytes where they do, whatever the size.
uint64_t right_aligned(std::string_view text) {
    const char* bytes = text.data();
    size_t size = text.size(), width = size >= 4 ? 4 : size >= 2 ? 2 : 1;
    uint64_t first = 0, last = 0;
    if (width == 4) {
        std::memcpy(&first, bytes, 4);
        std::memcpy(&last, bytes + size - 4, 4);
    } else if (width == 2) {
        std::memcpy(&first, bytes, 2);
        std::memcpy(&last, bytes + size - 2, 2);
    } else {
        first = last = static_cast<unsigned char>(bytes[0]);
    }
    return first << (8 * (8 - size)) | last << (8 * (8 - width));
}

// What read_short_decimal gives a text of one to eight bytes, all looked at at once: most numbers
// of an output are that short, and a loop over their digits mispredicts on their varying lengths.
template <typename Float>
std::optional<Float> read_eight_or_fewer(std::string_view text) {
    using core::kEachByte;
    size_t size = text.size();
    uint64_t word = right_aligned(text) | (('0' * kEachByte) & ((uint64_t{1} << (8 * (8 - size))) - 1));  // zero digits first
    uint64_t values = word ^ ('0' * kEachByte);
    uint64_t others = core::not_digits(word);
    size_t fraction = 0;
    if (others) {
        size_t point = core::first_byte_of(others);
        bool one_point = (others & (others - 1)) == 0 && ((word >> (8 * point)) & 0xFF) == '.';
        if (!one_point || size < 2) return std::nullopt;  // a point needs a digit beside it
        uint64_t before = (uint64_t{1} << (8 * point)) - 1;
        values = ((values & before) << 8) | (values & ~before & ~(uint64_t{0xFF} << (8 * point)));
        fraction = 7 - point;
    }
    uint64_t mantissa = core::digits_value(values);
    if (mantissa > kMostMantissa<Float>) return std::nullopt;
    return static_cast<Float>(mantissa) / kPowersOfTen<Float>[fraction];
}

// Clinger's fast path for the usual short texts such as 0.98765 or -27517.30: a mantissa
// up to 2^24 (2^53 for a double) and a power of ten up to 10^10 are both exact, so one
// division rounds correctly. Anything else (exponents, long digit runs) is left to the
// general reader.
template <typename Float>
std::optional<Float> read_short_decimal(std::string_view text) {
    if constexpr (std::endian::native == std::endian::little) {
        if (!text.empty() && text.size() <= 8) return read_eight_or_fewer<Float>(text);
    }
    constexpr auto& kPowers = kPowersOfTen<Float>;
    uint64_t mantissa = 0;
    int fraction_digits = -1;  // -1 until the point
    bool any_digit = false;
    for (char c : text) {
        if (is_digit(c)) {
            mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
            if (mantissa > kMostMantissa<Float>) return std::nullopt;
            any_digit = true;
            if (fraction_digits >= 0 && ++fraction_digits > 10) return std::nullopt;
        } else if (c == '.' && fraction_digits < 0) {
            fraction_digits = 0;
        } else {
            return std::nullopt;
        }
    }
    if (!any_digit) return std::nullopt;
    return static_cast<Float>(mantissa) / kPowers[fraction_digits < 0 ? 0 : fraction_digits];
}

// Nearest value to a well-formed decimal text, ties to even; beyond the range reads as
// infinity, below it as zero.
template <typename Float>
Float read_decimal(std::string_view text) {
#ifndef SKAV_USE_STRTOF
    Float value = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        return is_huge(text) ? std::numeric_limits<Float>::infinity() : Float{0};
    }
    return value;
#else
    // strtof and strtod in the C locale round correctly too, and the text is known to be plain decimal.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    std::string copy(text);
    if constexpr (std::is_same_v<Float, float>) {
        return strtof_l(copy.c_str(), nullptr, c_locale);
    } else {
        return strtod_l(copy.c_str(), nullptr, c_locale);
    }
#endif
}

template <typename Float>
Parsed<Float> parse_float(std::string_view text) {
    auto error = [](const char* kind) { return Parsed<Float>{{}, {kFloatError, kind}}; };
    if (text.empty()) return error("Empty");
    bool negative = text[0] == '-';
    if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
    Float value = 0;
    if (auto fast = read_short_decimal<Float>(text)) {
        value = *fast;
    } else if (auto special = read_special<Float>(text)) {
        value = *special;
    } else {
        if (!is_decimal(text)) return error("Invalid");
        value = read_decimal<Float>(text);
    }
    return {negative ? -value : value, {}};
}

}  // namespace

Parsed<uint32_t> parse_u32(std::string_view text) { return parse_integer<uint32_t>(text); }
Parsed<uint8_t> parse_u8(std::string_view text) { return parse_integer<uint8_t>(text); }
Parsed<int8_t> parse_i8(std::string_view text) { return parse_integer<int8_t>(text); }

Parsed<float> parse_f32(std::string_view text) { return parse_float<float>(text); }
Parsed<double> parse_f64(std::string_view text) { return parse_float<double>(text); }

std::string NumberError::message() const {
    return std::string(core::kUnwrapErr) + type + " { kind: " + kind + " }";
}

}  // namespace parsers
