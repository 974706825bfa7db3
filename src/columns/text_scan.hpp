#pragma once
// One pass over a file's bytes: whether they are UTF-8, and where both section headings occur,
// whatever the line around them: which parsers the file calls for when its kind is not given,
// and where those parsers need not search again.

#include <cstddef>
#include <string_view>

#include "parsers/headings.hpp"
#include "parsers/lines.hpp"

namespace columns {

// What the scan looks for: the text that every TD-DFT heading holds, and the CASSCF heading.
inline constexpr std::string_view kTDDFTNeedle = parsers::headings::kSOCCommon;
inline constexpr std::string_view kCASSCFNeedle = parsers::headings::kComposition;

struct TextScan {
    bool utf8 = true;  // as the module's check finds them
    core::TextHits tddft{kTDDFTNeedle, {}};
    core::TextHits casscf{kCASSCFNeedle, {}};
    // Where the words "Program Version" first stand, or npos: looked for stretch by stretch too,
    // while each is in cache, until found.
    size_t program_version = std::string_view::npos;
};

// Whether one of the TD-DFT headings occurs in `text`, whatever the line around it; `hits`: the
// scan's of the text.
bool holds_tddft_heading(std::string_view text, const core::TextHits& hits) noexcept;

inline constexpr size_t kScanStretch = size_t{64} << 10;

// Scans a text a stretch of `stretch` bytes at a time, as it is being read: each stretch is read
// by the UTF-8 check, (with `headings`) by the search for both headings and by the search for the
// program's version while it is still in cache, one trip through memory for what would be several.
class TextScanner {
public:
    explicit TextScanner(bool headings, size_t stretch = kScanStretch) noexcept
        : headings_(headings), stretch_(stretch) {}

    // Scans on in `bytes`, the text read so far (earlier calls saw a part of it), as far as the
    // bytes after a stretch are read too.
    void advance(std::string_view bytes);
    // Scans the rest of the whole text.
    TextScan finish(std::string_view bytes) &&;

private:
    void scan_stretch(std::string_view bytes);

    bool headings_;
    size_t stretch_;
    size_t scanned_ = 0;
    TextScan scan_;
};

inline TextScan scan_text(std::string_view bytes, bool headings, size_t stretch = kScanStretch) {
    return TextScanner(headings, stretch).finish(bytes);
}

}  // namespace columns
