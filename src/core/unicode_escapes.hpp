#pragma once

namespace core {

// True when a quoted text must write this code point as \u{hex}.
bool needs_unicode_escape(char32_t c) noexcept;

}  // namespace core
