#pragma once
// One pass over a file's bytes: whether they are UTF-8, and where both section headings occur,
// whatever the line around them: which parsers the file calls for when its kind is not given,
// and where those parsers need not search again.

#include <cstddef>
#include <string_view>

#include "parsers/lines.hpp"

namespace columns {

inline constexpr std::string_view kTDDFTHeading = "SKAV SPIN-ORBIT COUPLING CALCULATION";
inline constexpr std::string_view kCASSCFHeading = "LOEWDIN ORBITAL-COMPOSITIONS";

struct TextScan {
    bool utf8 = true;  // as the module's check finds them
    parsers::TextHits tddft{kTDDFTHeading, {}};
    parsers::TextHits casscf{kCASSCFHeading, {}};
};

inline constexpr size_t kScanStretch = size_t{64} << 10;

// A stretch of `stretch` bytes at a time, each read by the UTF-8 check and (with `headings`)
// by the search for both headings while it is still in cache: one trip through memory for
// what would be two or three.
TextScan scan_text(std::string_view bytes, bool headings, size_t stretch = kScanStretch);

}  // namespace columns
