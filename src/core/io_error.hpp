#pragma once
// Text forms of I/O errors, as read failures show them.

#include <string>
#include <string_view>

namespace core {

// "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"
std::string os_error_text(int code);

// "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }"
std::string simple_error_text(std::string_view kind, std::string_view message);

}  // namespace core
