#pragma once
// Which parsers a file calls for when its kind is not given: those whose section heading
// its bytes hold anywhere, whatever the line around it.

#include <string_view>

namespace columns {

inline constexpr std::string_view kTDDFTHeading = "SKAV SPIN-ORBIT COUPLING CALCULATION";
inline constexpr std::string_view kCASSCFHeading = "LOEWDIN ORBITAL-COMPOSITIONS";

struct Headings {
    bool tddft = false;
    bool casscf = false;
};

// One pass over the bytes, which need not be UTF-8; it stops once both are found.
Headings find_headings(std::string_view bytes) noexcept;

}  // namespace columns
