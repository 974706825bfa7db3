#pragma once
// One pass over a file's bytes: whether they are UTF-8, and which parsers the file calls for
// when its kind is not given: those whose section heading it holds anywhere, whatever the
// line around it.

#include <cstddef>
#include <string_view>

namespace columns {

inline constexpr std::string_view kTDDFTHeading = "SKAV SPIN-ORBIT COUPLING CALCULATION";
inline constexpr std::string_view kCASSCFHeading = "LOEWDIN ORBITAL-COMPOSITIONS";

struct TextScan {
    bool utf8 = true;  // as the module's check finds them
    bool tddft = false;
    bool casscf = false;
};

inline constexpr size_t kScanStretch = size_t{64} << 10;

// A stretch of `stretch` bytes at a time, each read by the UTF-8 check and (with `headings`)
// by the search for both headings while it is still in cache: one trip through memory for
// what would be two or three.
TextScan scan_text(std::string_view bytes, bool headings, size_t stretch = kScanStretch) noexcept;

}  // namespace columns
