#include "columns/program_version.hpp"

#include "core/utf8.hpp"
#include "parsers/headings.hpp"
#include "parsers/lines.hpp"

namespace columns {

std::optional<std::string_view> program_version(std::string_view content, std::optional<size_t> words_at) noexcept {
    using parsers::headings::kProgramVersion;
    if (!words_at) {
        const char* words = core::find_text(content, kProgramVersion);
        words_at = words ? static_cast<size_t>(words - content.data()) : std::string_view::npos;
    }
    if (*words_at == std::string_view::npos) return std::nullopt;
    std::string_view rest = content.substr(*words_at + kProgramVersion.size());
    std::optional<std::string_view> field = parsers::Fields(rest.substr(0, rest.find('\n'))).next();
    // A file that is no UTF-8 elsewhere still names its release; a string column holds UTF-8 only.
    if (!field || !core::is_valid_utf8(*field)) return std::nullopt;
    return field;
}

}  // namespace columns
