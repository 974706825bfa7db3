#pragma once
// One pass over a file's bytes as they are read, a piece at a time: whether they are UTF-8, how
// many lines they hold, where the parsers' heading texts stand (whatever the line around them)
// and the program's version. Which parsers the file calls for when its kind is not given, and
// where those parsers need not search again.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "columns/long_line.hpp"
#include "core/location.hpp"
#include "core/text_search.hpp"

namespace columns {

// A text the scan looks for, and the headings that hold it once: a file holds one of the headings
// where the text stands inside it. One search finds them all, also those of several targets that
// look for the same text.
struct ScanTarget {
    std::string_view needle;
    std::span<const std::string_view> headings;
};

// The most targets a scan looks for at once, beside the program's version.
inline constexpr size_t kMostTargets = 2;

class FileScan {
public:
    // The bytes that a heading holds before its needle, at most: a line scanned in parts keeps them.
    static constexpr size_t kBefore = 16;

    explicit FileScan(std::span<const ScanTarget> targets);

    // Scans `lines`, the next whole lines of the file (the last one ends in "\n", unless it is the
    // file's last). `hits` get the places where each needle stands, from the start of `lines`.
    void scan_lines(std::string_view lines, std::vector<core::TextHits>& hits);
    // Scans on in a line too long to be held whole: `part` holds it from a place before `from`
    // (at least the few bytes that a heading holds before its needle, or from its start) to what
    // has been read of it. Returns where the scan stopped: short of the last bytes, which may start
    // a heading or a character that the next part completes, unless the line ends with `part`.
    size_t scan_line_part(std::string_view part, size_t from, bool line_ends);
    // The line scanned in parts has ended, with a newline unless the file ends there.
    void end_line_part(bool newline);

    // The number of the line that the next bytes start or go on (1-based).
    size_t line() const noexcept { return newlines_ + 1; }
    // Whether the file holds one of the headings of the target.
    bool holds(size_t target) const noexcept { return holds_[target]; }
    // Where the first byte that is not UTF-8 stands, if one has been scanned.
    const std::optional<core::Location>& invalid_utf8() const noexcept { return invalid_utf8_; }
    // The first field after the words "Program Version" on the first line that holds them, if there
    // is one and it is UTF-8.
    std::optional<std::string_view> program_version() const noexcept;

private:
    struct Found {
        std::array<std::vector<size_t>, kMostTargets + 1> hits;  // of each needle, then of the version's words
        size_t newlines = 0;
    };

    // Scans bytes [from, to) of `bytes`, each needle looked for where it fits into `bytes`.
    void scan(std::string_view bytes, size_t from, size_t to, Found& found);
    void check_utf8(std::string_view bytes, size_t from, size_t to, size_t newlines_before);
    void note_headings(std::string_view bytes, const Found& found);

    std::vector<ScanTarget> targets_;
    std::vector<std::string_view> needles_;  // each once
    std::array<size_t, kMostTargets> needle_of_{};  // of each target
    size_t newlines_ = 0;
    size_t offset_ = 0;  // of the next byte to scan, in the file
    std::array<bool, kMostTargets> holds_{};
    std::optional<core::Location> invalid_utf8_;
    std::optional<std::string> version_;
    bool version_found_ = false;
    std::optional<FieldCapture> version_capture_;  // of a version in a line scanned in parts
    size_t capture_at_ = 0;                          // in the file: the next byte it takes
};

}  // namespace columns
