#pragma once
// The hyphen patterns that shape the lines of a composition table.

#include <string_view>

namespace parsers::casscf {

inline constexpr std::string_view kUnderline = "----------------------------";  // 28 hyphens
inline constexpr std::string_view kDividerMark = "--------";

inline bool starts_with_section_rule(std::string_view line) noexcept { return line.starts_with(kUnderline); }

inline bool holds_divider_mark(std::string_view line) noexcept {
    return line.find(kDividerMark) != std::string_view::npos;
}

}  // namespace parsers::casscf
