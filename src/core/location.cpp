#include "core/location.hpp"

#include <algorithm>
#include <functional>

#include "core/debug_text.hpp"
#include "core/utf8.hpp"

namespace core {
namespace {

// Enough of a line to recognise it; a table line can be megabytes long.
constexpr size_t kShownCharacters = 200;

size_t line_number_at(std::string_view input, size_t offset) {
    return 1 + static_cast<size_t>(std::count(input.begin(), input.begin() + static_cast<ptrdiff_t>(offset), '\n'));
}

// The line that holds the byte at `offset`, as the line cursor hands it out: without its "\n",
// nor a "\r" before that one.
std::string_view line_around(std::string_view input, size_t offset) {
    size_t newline_before = offset == 0 ? std::string_view::npos : input.rfind('\n', offset - 1);
    size_t start = newline_before == std::string_view::npos ? 0 : newline_before + 1;
    size_t end = input.find('\n', offset);
    if (end == std::string_view::npos) return input.substr(start);
    if (end > start && input[end - 1] == '\r') --end;
    return input.substr(start, end - start);
}

// Byte length of the first `count` characters of valid UTF-8 `text` (all of it if shorter).
size_t prefix_length(std::string_view text, size_t count) {
    size_t at = 0;
    for (size_t seen = 0; at < text.size() && seen < count; ++seen) {
        do {
            ++at;
        } while (at < text.size() && is_continuation_byte(static_cast<unsigned char>(text[at])));
    }
    return at;
}

}  // namespace

Location Location::missing_heading(std::string_view heading) {
    Location location(Kind::MissingHeading, nullptr);
    location.heading_ = heading;
    return location;
}

Location Location::invalid_utf8_at(size_t offset) {
    Location location(Kind::InvalidUtf8, nullptr);
    location.offset_ = offset;
    return location;
}

Location Location::invalid_utf8_at(size_t offset, size_t line) {
    Location location = invalid_utf8_at(offset);
    location.line_ = line;
    return location;
}

void Location::take_line(size_t number, std::string_view line) {
    at_ = nullptr;
    line_ = number;
    size_t shown = prefix_length(line, kShownCharacters);
    text_ = line.substr(0, shown);
    cut_ = shown < line.size();
}

void Location::resolve(std::string_view input) {
    size_t offset = 0;
    if (kind_ == Kind::InvalidUtf8) {
        line_ = line_number_at(input, offset_);
        return;
    }
    if (kind_ == Kind::Line) {
        // A position outside the input would be a fault of the parser: better no note than a wrong one.
        std::less_equal<const char*> at_most;
        if (!at_most(input.data(), at_) || !at_most(at_, input.data() + input.size())) {
            kind_ = Kind::None;
            at_ = nullptr;
            return;
        }
        offset = static_cast<size_t>(at_ - input.data());
    } else if (kind_ == Kind::EndOfInput) {
        offset = input.empty() ? 0 : input.size() - 1;  // the last line, or the "\n" that ends it
    } else {
        return;
    }
    take_line(line_number_at(input, offset), line_around(input, offset));
}

void Location::settle(std::string_view piece, size_t first_line) {
    std::less_equal<const char*> at_most;
    if (kind_ != Kind::Line || !at_ || !at_most(piece.data(), at_) || !at_most(at_, piece.data() + piece.size())) return;
    size_t offset = static_cast<size_t>(at_ - piece.data());
    take_line(first_line - 1 + line_number_at(piece, offset), line_around(piece, offset));
}

void Location::settle_end_of_input(size_t line, std::string_view text) {
    if (kind_ == Kind::EndOfInput && line_ == 0) take_line(line, text);
}

std::string Location::note(std::string_view path) const {
    std::string out = "in ";
    append_quoted(out, path);
    switch (kind_) {
        case Kind::None:
            return {};
        case Kind::MissingHeading:
            out += ": no line headed ";
            append_quoted(out, heading_);
            return out;
        case Kind::InvalidUtf8:
            return out + ", line " + std::to_string(line_) + ", byte " + std::to_string(offset_) + ": invalid UTF-8";
        case Kind::EndOfInput:
            out += ", line " + std::to_string(line_) + " (end of file): ";
            break;
        case Kind::Line:
            out += ", line " + std::to_string(line_) + ": ";
            break;
    }
    append_quoted(out, text_);
    if (cut_) out += "...";
    return out;
}

}  // namespace core
