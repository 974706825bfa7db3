#pragma once
// The headings by which the parsers find their sections: every layer that looks for one
// (the parsers, the column reader's scan, skav_batch through the column reader) takes it from here.

#include <algorithm>
#include <array>
#include <string_view>

namespace parsers::headings {

// The SOC section of a TD-DFT output, as the older releases print it.
inline constexpr std::string_view kSOCSection = "SKAV SPIN-ORBIT COUPLING CALCULATION";
// Newer releases print only the frame of the SOC part: each of these then stands for kSOCSection.
inline constexpr std::array<std::string_view, 2> kSOCFramed = {"TD-DFT/TDA SPIN-ORBIT COUPLING",
                                                               "TD-DFT SPIN-ORBIT COUPLING"};
// Every heading that makes a text a TD-DFT output, the older first.
inline constexpr std::array<std::string_view, 3> kSOCAny = {kSOCSection, kSOCFramed[0], kSOCFramed[1]};
// A text that every TD-DFT heading above holds once: one search for it finds them all.
inline constexpr std::string_view kSOCCommon = "SPIN-ORBIT COUPLING";
inline constexpr std::string_view kSOCEigenvectors = "Eigenvectors of the SOC matrix:";

// The couplings between triplets and singlets in a TD-DFT output's SOC part; the same heading
// heads them again in spherical form, and "CALCULATED REDUCED SOCME ..." the reduced ones.
inline constexpr std::string_view kSOCCouplings = "CALCULATED SOCME BETWEEN TRIPLETS AND SINGLETS";
inline constexpr std::string_view kSOCCouplingsCommon = "SOCME";
// The title after which a TD-DFT output prints its SOC-corrected spectra, with and without TDA;
// other methods print the same spectrum headings without it.
inline constexpr std::array<std::string_view, 2> kSpectraTitles = {"SOC CORRECTED TD-DFT/TDA-EXCITATION SPECTRA",
                                                                   "SOC CORRECTED TD-DFT-EXCITATION SPECTRA"};
// The headings of the four spectra (absorption and CD, through electric and velocity dipole
// moments), as the later releases and as the earlier ones print them.
inline constexpr std::array<std::string_view, 4> kSpectraLater = {
    "SOC CORRECTED ABSORPTION SPECTRUM VIA TRANSITION ELECTRIC DIPOLE MOMENTS",
    "SOC CORRECTED ABSORPTION SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS",
    "SOC CORRECTED CD SPECTRUM VIA TRANSITION ELECTRIC DIPOLE MOMENTS",
    "SOC CORRECTED CD SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS"};
inline constexpr std::array<std::string_view, 4> kSpectraEarlier = {
    "SPIN ORBIT CORRECTED ABSORPTION SPECTRUM VIA TRANSITION ELECTRIC DIPOLE MOMENTS",
    "SPIN ORBIT CORRECTED ABSORPTION SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS",
    "SPIN ORBIT CORRECTED CD SPECTRUM",
    "SPIN ORBIT CORRECTED CD SPECTRUM VIA TRANSITION VELOCITY DIPOLE MOMENTS"};
// A text that the titles and every spectrum heading hold.
inline constexpr std::string_view kSpectraCommon = "CORRECTED";

// The orbital-composition section of a CASSCF output.
inline constexpr std::string_view kComposition = "LOEWDIN ORBITAL-COMPOSITIONS";

// The longest heading that a reading looks for.
consteval size_t longest_heading() {
    size_t longest = std::max(kSOCCouplings.size(), kComposition.size());
    for (const auto& headings : {kSOCAny, std::array<std::string_view, 3>{kSpectraTitles[0], kSpectraTitles[1], kSOCSection}}) {
        for (std::string_view heading : headings) longest = std::max(longest, heading.size());
    }
    for (const auto& headings : {kSpectraLater, kSpectraEarlier}) {
        for (std::string_view heading : headings) longest = std::max(longest, heading.size());
    }
    return longest;
}
inline constexpr size_t kLongestHeading = longest_heading();

// The words before the release of the program that wrote an output, e.g. "Program Version 6.0.0".
inline constexpr std::string_view kProgramVersion = "Program Version";

// Whether `heading` holds `common` exactly once: a search for `common` then finds it.
consteval bool holds_once(std::string_view heading, std::string_view common) {
    size_t at = heading.find(common);
    return at != std::string_view::npos && heading.find(common, at + 1) == std::string_view::npos;
}
static_assert(holds_once(kSOCAny[0], kSOCCommon) && holds_once(kSOCAny[1], kSOCCommon) &&
              holds_once(kSOCAny[2], kSOCCommon));

}  // namespace parsers::headings
