#pragma once
// Which release of the program wrote an output, as its header says.

#include <optional>
#include <string_view>

namespace columns {

// The first field after "Program Version" on the first line that holds those words; nothing if
// no line does, if nothing follows them there, or if that field is not UTF-8. `words_at`: where
// the words first stand (npos: nowhere), when a scan of the content has found that already.
std::optional<std::string_view> program_version(std::string_view content,
                                                std::optional<size_t> words_at = std::nullopt) noexcept;

}  // namespace columns
