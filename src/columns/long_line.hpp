#pragma once
// A line too long for the window, outside every section, taken a part at a time and never held
// whole: what a reading that only looks for headings can tell from it, and the first field of
// its rest (the program's version).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace columns {

// A line's stand-in: the line after its leading whitespace, cut after a few more characters than
// the longest heading has. A heading test gives the same answer for both, so a reading that looks
// for headings reads either alike.
class LineProbe {
public:
    // The next bytes of the line.
    void feed(std::string_view part);
    // The line ends, with a newline unless the text ends there; returns the stand-in.
    std::string_view end(bool newline);

private:
    static constexpr size_t kKept = 37;  // beyond every heading

    std::string pending_;  // the first bytes of what may be a whitespace character
    std::string kept_;     // the first bytes after the leading whitespace
    size_t content_ = 0;   // bytes after the leading whitespace
    bool content_started_ = false;
    char last_ = 0;
};

// The first field of a line's rest (up to its next whitespace), taken a part at a time.
class FieldCapture {
public:
    void feed(std::string_view part);
    // The line has ended.
    void end();
    bool done() const noexcept { return done_; }
    // The field, once done; empty when the rest held none.
    const std::string& field() const noexcept { return field_; }

private:
    std::string pending_;  // the first bytes of what may be a whitespace character
    std::string field_;
    bool started_ = false, done_ = false;
};

// The bytes from `at` that start a whitespace character cut short by the end of `text`: they may
// yet be one, once the bytes after them come.
size_t cut_whitespace_at_end(std::string_view text, size_t at) noexcept;

}  // namespace columns
