#pragma once
// Which release of the program wrote an output, as its header says.

#include <optional>
#include <string_view>

namespace columns {

// The first field after "Program Version" on the first line that holds those words; nothing if
// no line does, if nothing follows them there, or if that field is not UTF-8.
std::optional<std::string_view> program_version(std::string_view content) noexcept;

}  // namespace columns
