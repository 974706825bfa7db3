#pragma once

#include <string_view>

#include "binding/text.hpp"

namespace binding {

// The whole file as validated UTF-8 text (a byte-order mark stays in it).
// Anything that stops that is a read failure.
Text read_to_string(std::string_view path);

}  // namespace binding
