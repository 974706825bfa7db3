#pragma once
// Number texts, read only while records are assembled. A text that is not a number of
// the wanted type is a number-format failure at the caller's position.

#include <cstdint>
#include <source_location>
#include <string_view>

namespace reference {

using std::source_location;

uint32_t read_u32(std::string_view text, source_location at = source_location::current());
uint8_t read_u8(std::string_view text, source_location at = source_location::current());
int8_t read_i8(std::string_view text, source_location at = source_location::current());
float read_f32(std::string_view text, source_location at = source_location::current());

}  // namespace reference
