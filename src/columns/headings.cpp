#include "columns/headings.hpp"

#include <algorithm>

#include "binding/utf8.hpp"
#include "parsers/lines.hpp"

namespace columns {
namespace {

bool is_continuation(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Where a stretch from `start` ends: before a character's first byte, so that the check of the
// stretch alone judges its characters as the check of the whole would. Past three continuation
// bytes the text is no UTF-8 anyway, and the next stretch, starting with one, says so.
size_t stretch_end(std::string_view bytes, size_t start, size_t stretch) noexcept {
    size_t end = std::min(bytes.size(), start + std::max<size_t>(stretch, 4));
    for (int back = 0; back < 3 && end < bytes.size() && is_continuation(bytes[end]); ++back) --end;
    return end;
}

}  // namespace

TextScan scan_text(std::string_view bytes, bool headings, size_t stretch) noexcept {
    TextScan scan;
    const size_t overlap = std::max(kTDDFTHeading.size(), kCASSCFHeading.size()) - 1;
    for (size_t start = 0; start < bytes.size();) {
        size_t end = stretch_end(bytes, start, stretch);
        if (scan.utf8) scan.utf8 = binding::is_valid_utf8(bytes.substr(start, end - start));
        if (headings) {
            // A heading may start in this stretch and end in the next.
            std::string_view window = bytes.substr(start, end - start + overlap);
            scan.tddft = scan.tddft || parsers::find_text(window, kTDDFTHeading);
            scan.casscf = scan.casscf || parsers::find_text(window, kCASSCFHeading);
        }
        start = end;
    }
    return scan;
}

}  // namespace columns
