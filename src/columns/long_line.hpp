#pragma once
// A line too long for the window, outside every section, taken a part at a time and never held
// whole: what a reading that only looks for headings can tell from it, and the first field of
// its rest (the program's version).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "parsers/headings.hpp"

namespace columns {

// A line's stand-in: the line after its leading whitespace, cut after a few more characters than
// the longest heading has, and then, if anything but whitespace follows, one more character. A
// heading test gives the same answer for both, also one that takes trailing whitespace off, so a
// reading that looks for headings reads either alike.
class LineProbe {
public:
    // The next bytes of the line.
    void feed(std::string_view part);
    // The line ends, with a newline unless the text ends there; returns the stand-in.
    std::string_view end(bool newline);

private:
    static constexpr size_t kKept = parsers::headings::kLongestHeading + 1;
    // Takes note of something else than whitespace after the kept bytes.
    void look_beyond(std::string_view part);

    std::string pending_;  // the first bytes of what may be a whitespace character
    std::string kept_;     // the first bytes after the leading whitespace
    size_t content_ = 0;   // bytes after the leading whitespace
    bool content_started_ = false;
    bool beyond_ = false;    // something else than whitespace after the kept bytes
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
