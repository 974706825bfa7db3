#pragma once
// Number texts, read only while records are assembled. A text that is not a number of
// the wanted type is a number-format failure: read_* raise it at the caller's position,
// parse_* hand it back for callers that must report something else first.

#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>

namespace parsers {

using std::source_location;

// Why a text is not a number: the error type and its kind, e.g. ParseIntError, PosOverflow.
struct NumberError {
    const char* type = nullptr;
    const char* kind = nullptr;
    std::string message() const;
};

template <typename T>
struct Parsed {
    T value{};
    NumberError error{};
    explicit operator bool() const noexcept { return error.kind == nullptr; }
};

Parsed<uint32_t> parse_u32(std::string_view text);
Parsed<uint8_t> parse_u8(std::string_view text);
Parsed<int8_t> parse_i8(std::string_view text);
Parsed<float> parse_f32(std::string_view text);

[[noreturn, gnu::cold]] void fail_number(const NumberError& error, source_location at);

template <typename T>
T value_or_fail(Parsed<T> parsed, source_location at) {
    if (!parsed) fail_number(parsed.error, at);
    return parsed.value;
}

inline uint32_t read_u32(std::string_view text, source_location at = source_location::current()) {
    return value_or_fail(parse_u32(text), at);
}
inline uint8_t read_u8(std::string_view text, source_location at = source_location::current()) {
    return value_or_fail(parse_u8(text), at);
}
inline int8_t read_i8(std::string_view text, source_location at = source_location::current()) {
    return value_or_fail(parse_i8(text), at);
}
inline float read_f32(std::string_view text, source_location at = source_location::current()) {
    return value_or_fail(parse_f32(text), at);
}

}  // namespace parsers
