#pragma once
// Number texts, read only while records are assembled. A text that is not a number of
// the wanted type is a number-format failure, handed back to the caller: a failure of the
// section's shape, found later, is reported before it.

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
};

Parsed<uint32_t> parse_u32(std::string_view text);
Parsed<uint8_t> parse_u8(std::string_view text);
Parsed<int8_t> parse_i8(std::string_view text);
Parsed<float> parse_f32(std::string_view text);
Parsed<double> parse_f64(std::string_view text);

}  // namespace parsers
