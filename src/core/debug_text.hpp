#pragma once
// Quoted text forms for messages: the text between double quotes, with a backslash
// before '"' and '\', control characters as escapes and non-printable characters as \u{hex}.

#include <string>
#include <string_view>

namespace core {

// Appends `text` (valid UTF-8) in double quotes to `out`.
void append_quoted(std::string& out, std::string_view text);

}  // namespace core
