#include "fuzz/reference/numbers.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "binding/check.hpp"

namespace reference {
namespace {

[[noreturn, gnu::cold]] void fail_int(const char* kind, source_location at) {
    binding::fail(std::string(binding::kUnwrapErr) + "ParseIntError { kind: " + kind + " }", at);
}

[[noreturn, gnu::cold]] void fail_float(const char* kind, source_location at) {
    binding::fail(std::string(binding::kUnwrapErr) + "ParseFloatError { kind: " + kind + " }", at);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads left to right; the first problem met decides the kind, a bad digit before an overflow.
template <typename Int>
Int read_integer(std::string_view text, source_location at) {
    if (text.empty()) fail_int("Empty", at);
    bool negative = false;
    if (text.size() == 1 && (text[0] == '+' || text[0] == '-')) fail_int("InvalidDigit", at);
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
        if (!is_digit(c)) fail_int("InvalidDigit", at);
        int digit = c - '0';
        value = value * 10 + (negative ? -digit : digit);
        if (value > kMax) fail_int("PosOverflow", at);
        if (value < kMin) fail_int("NegOverflow", at);
    }
    return static_cast<Int>(value);
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

std::optional<float> read_word(std::string_view word) {
    if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
        return std::numeric_limits<float>::infinity();
    }
    if (equals_ignoring_case(word, "nan")) return std::numeric_limits<float>::quiet_NaN();
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

}  // namespace

uint32_t read_u32(std::string_view text, source_location at) { return read_integer<uint32_t>(text, at); }
uint8_t read_u8(std::string_view text, source_location at) { return read_integer<uint8_t>(text, at); }
int8_t read_i8(std::string_view text, source_location at) { return read_integer<int8_t>(text, at); }

float read_f32(std::string_view text, source_location at) {
    if (text.empty()) fail_float("Empty", at);
    bool negative = text[0] == '-';
    if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
    float value = 0;
    if (auto word = read_word(text)) {
        value = *word;
    } else {
        if (!is_decimal(text)) fail_float("Invalid", at);
        auto result = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
        if (result.ec == std::errc::result_out_of_range) {
            // Beyond the range reads as infinity, below it as zero.
            value = is_huge(text) ? std::numeric_limits<float>::infinity() : 0.0f;
        } else if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
            fail_float("Invalid", at);
        }
    }
    return negative ? -value : value;
}

}  // namespace reference
