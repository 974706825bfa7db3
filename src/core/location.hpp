#pragma once
// Where in the input a check failed: told to the caller in a note on the exception, so that
// a failure in a large file names its line. Free of Python.h, like the rest of a failure.

#include <cstddef>
#include <string>
#include <string_view>

namespace core {

class Location {
public:
    enum class Kind { None, Line, EndOfInput, MissingHeading, InvalidUtf8 };

    Location() = default;
    // The line that holds `part` (any view into one line of the input).
    static Location line_of(std::string_view part) { return Location(Kind::Line, part.data()); }
    // The input ended where more was expected.
    static Location end_of_input() { return Location(Kind::EndOfInput, nullptr); }
    // No line of the input is `heading` (a literal that outlives the failure).
    static Location missing_heading(std::string_view heading);
    static Location invalid_utf8_at(size_t offset);
    // The same, for a reader that knows the line of the byte already.
    static Location invalid_utf8_at(size_t offset, size_t line);

    Kind kind() const noexcept { return kind_; }
    size_t line() const noexcept { return line_; }
    // Whether the location still points into the input: it has not taken its line yet.
    bool pending() const noexcept { return at_ != nullptr; }
    // Takes the line number and the line's text from `input`, the whole text that the location
    // points into, while it is still there; afterwards the location no longer points into it.
    void resolve(std::string_view input);
    // The same for a text read a piece at a time: a location that points into `piece`, whose first
    // line is line `first_line` of the input and which holds whole lines, takes its line from it;
    // any other stays as it is.
    void settle(std::string_view piece, size_t first_line);
    // The input ended after its line `line`, `text` (without its line end): where the end stands.
    void settle_end_of_input(size_t line, std::string_view text);
    // The note for a failure in the file `path`, e.g. in "x.out", line 3: "STATE 1: abc".
    std::string note(std::string_view path) const;

private:
    Location(Kind kind, const char* at) : kind_(kind), at_(at) {}
    void take_line(size_t number, std::string_view line);

    Kind kind_ = Kind::None;
    const char* at_ = nullptr;  // into the input, until resolved
    size_t offset_ = 0;         // of the first invalid byte
    size_t line_ = 0;           // 1-based
    std::string_view heading_;
    std::string text_;          // the line's first characters
    bool cut_ = false;          // whether the line goes on beyond them
};

}  // namespace core
