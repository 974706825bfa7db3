#include "core/debug_text.hpp"

#include <cstdio>

#include "core/unicode_escapes.hpp"

namespace core {
namespace {

// Decodes one character of valid UTF-8 at `i`, advancing `i` past it.
char32_t decode_utf8(std::string_view text, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        i += 1;
        return lead;
    }
    if (lead < 0xE0) {
        char32_t c = ((lead & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
        i += 2;
        return c;
    }
    if (lead < 0xF0) {
        char32_t c = ((lead & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
        i += 3;
        return c;
    }
    char32_t c = ((lead & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                 ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
    i += 4;
    return c;
}

void append_escape(std::string& out, char32_t c) {
    switch (c) {
        case U'\0': out += "\\0"; return;
        case U'\t': out += "\\t"; return;
        case U'\n': out += "\\n"; return;
        case U'\r': out += "\\r"; return;
        case U'"': out += "\\\""; return;
        case U'\\': out += "\\\\"; return;
        default: break;
    }
    char buffer[16];
    int n = std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
    out.append(buffer, static_cast<size_t>(n));
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        char32_t c = decode_utf8(text, i);
        bool plain = c != U'"' && c != U'\\' && !needs_unicode_escape(c);
        if (plain) {
            out.append(text.substr(start, i - start));
        } else {
            append_escape(out, c);
        }
    }
    out += '"';
}

}  // namespace core
