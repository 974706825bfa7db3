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
    // Another target's text after whose first place alone this one is looked for (none: from the
    // start): the text of a part that only such a part holds costs nothing in the files without it.
    std::string_view after = {};
};

// The most targets a scan looks for at once, beside the program's version: room for the parsers of
// the column reader's table (checked there) and for more; a scan costs what its own targets cost.
inline constexpr size_t kMostTargets = 4;

// Counts the newlines of a file's bytes again, for the line numbers that a reading asks for after
// the bytes went by: a source that can give its bytes again spares the scan counting them all.
class LineCounter {
public:
    virtual ~LineCounter() = default;
    // The newlines among the file's bytes [from, to). A failure to read them again is thrown.
    virtual size_t newlines(uint64_t from, uint64_t to) = 0;
};

class FileScan {
public:
    // The bytes that a heading holds before its needle, at most: a line scanned in parts keeps them.
    static constexpr size_t kBefore = 16;

    // `counter`: counts newlines when a line's number is asked for; without one, the scan counts
    // them as it goes.
    FileScan(std::span<const ScanTarget> targets, LineCounter* counter);

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

    // The file offset of the next byte to scan.
    uint64_t offset() const noexcept { return offset_; }
    // Whether it counts newlines as it goes: each piece's lines are then known as it is scanned.
    bool counts_as_it_goes() const noexcept { return counter_ == nullptr; }
    // The number (from 1) of the line that starts at `offset`: the start of a piece of lines handed
    // over, of the next bytes, or (with a counter) any place before them.
    size_t line_at(uint64_t offset);
    // The needles not looked for yet (their gate has not stood anywhere), each with no places: a
    // reading of a line the scan went through in parts finds them nowhere either.
    std::vector<core::TextHits> waiting() const;
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

    // Scans bytes [from, to) of `bytes`, which starts at the file's offset `at`, each needle looked
    // for where it fits into `bytes`.
    void scan(std::string_view bytes, uint64_t at, size_t from, size_t to, Found& found);
    template <bool CountLines>
    void scan_by(std::string_view bytes, uint64_t at, size_t from, size_t to, Found& found);
    void check_utf8(std::string_view bytes, uint64_t at, size_t from, size_t to);
    // Whether needle `n` is looked for now; the needles whose gate first stood in [start, end) of
    // `bytes` looked for there from that place on, and from now on.
    bool looked_for(size_t n) const noexcept { return gate_of_[n] == kNoGate || seen_[gate_of_[n]]; }
    void open_gates(std::string_view bytes, size_t end, Found& found);
    void note_headings(std::string_view bytes, const Found& found);

    std::vector<ScanTarget> targets_;
    std::vector<std::string_view> needles_;  // each once
    std::array<size_t, kMostTargets> needle_of_{};  // of each target
    std::array<size_t, kMostTargets> gate_of_{};    // of each needle: the needle it waits for, or kNoGate
    std::array<bool, kMostTargets> seen_{};         // of each needle: whether it has stood anywhere yet
    static constexpr size_t kNoGate = kMostTargets;
    LineCounter* counter_;
    uint64_t offset_ = 0;      // of the next byte to scan, in the file
    size_t newlines_ = 0;      // before counted_to_
    uint64_t counted_to_ = 0;
    uint64_t piece_ = 0;       // where the last piece scanned starts
    size_t piece_newlines_ = 0;  // before it (counting as it goes)
    std::array<bool, kMostTargets> holds_{};
    std::optional<core::Location> invalid_utf8_;
    std::optional<std::string> version_;
    bool version_found_ = false;
    std::optional<FieldCapture> version_capture_;  // of a version in a line scanned in parts
    size_t capture_at_ = 0;                          // in the file: the next byte it takes
};

}  // namespace columns
