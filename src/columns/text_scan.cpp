#include "columns/text_scan.hpp"

#include <algorithm>
#include <cstring>

#include "core/utf8.hpp"
#include "parsers/lines.hpp"

namespace columns {
namespace {

// Where a stretch from `start` ends: before a character's first byte, so that the check of the
// stretch alone judges its characters as the check of the whole would. Past three continuation
// bytes the text is no UTF-8 anyway, and the next stretch, starting with one, says so.
size_t stretch_end(std::string_view bytes, size_t start, size_t stretch) noexcept {
    size_t end = std::min(bytes.size(), start + std::max<size_t>(stretch, 4));
    for (int back = 0; back < 3 && end < bytes.size() && core::is_continuation_byte(static_cast<unsigned char>(bytes[end])); ++back) --end;
    return end;
}

// Adds the places among `Width` from `at` where the heading starts, by the lanes of `mask`.
template <size_t Width>
[[gnu::always_inline]] inline void add_hits(const char* text, size_t at, core::ByteVector<Width> mask,
                                            core::TextHits& hits) {
    for (size_t i = 0; i < Width; ++i) {
        if (mask[i] && std::memcmp(text + at + i, hits.needle.data(), hits.needle.size()) == 0) {
            hits.offsets.push_back(at + i);
        }
    }
}

// Reads [start, end) a vector at a time while the headings' last bytes are in `bytes` too: at
// each place, the first and last bytes of both headings are compared before the whole, and the
// high bits gathered for the UTF-8 check. Returns where it stopped.
template <size_t Width>
[[gnu::always_inline]] inline size_t scan_vectors_by(std::string_view bytes, size_t start, size_t end,
                                                     bool& high, TextScan& scan) {
    using core::load_bytes, core::splat;
    const char* text = bytes.data();
    const std::string_view a = scan.tddft.needle, b = scan.casscf.needle;
    const auto a_first = splat<Width>(a.front()), a_last = splat<Width>(a.back());
    const auto b_first = splat<Width>(b.front()), b_last = splat<Width>(b.back());
    const size_t reach = std::max(a.size(), b.size()) - 1;
    core::ByteVector<Width> highs{};
    auto candidates = [&](size_t at, core::TextHits& hits, auto first, auto last) {
        return core::candidate_lanes<Width>(text + at, hits.needle.size(), first, last);
    };
    size_t at = start;
    // Two vectors a step: one test of the lanes for both.
    for (; at + 2 * Width <= end && at + 2 * Width + reach <= bytes.size(); at += 2 * Width) {
        highs |= load_bytes<Width>(text + at) | load_bytes<Width>(text + at + Width);
        auto in_a = candidates(at, scan.tddft, a_first, a_last);
        auto in_b = candidates(at, scan.casscf, b_first, b_last);
        auto next_a = candidates(at + Width, scan.tddft, a_first, a_last);
        auto next_b = candidates(at + Width, scan.casscf, b_first, b_last);
        if (core::any_lane<Width>(in_a | in_b | next_a | next_b)) {
            add_hits<Width>(text, at, in_a, scan.tddft);
            add_hits<Width>(text, at, in_b, scan.casscf);
            add_hits<Width>(text, at + Width, next_a, scan.tddft);
            add_hits<Width>(text, at + Width, next_b, scan.casscf);
        }
    }
    for (; at + Width <= end && at + Width + reach <= bytes.size(); at += Width) {
        highs |= load_bytes<Width>(text + at);
        auto in_a = candidates(at, scan.tddft, a_first, a_last);
        auto in_b = candidates(at, scan.casscf, b_first, b_last);
        if (core::any_lane<Width>(in_a | in_b)) {
            add_hits<Width>(text, at, in_a, scan.tddft);
            add_hits<Width>(text, at, in_b, scan.casscf);
        }
    }
    high = core::any_lane<Width>(highs < 0);
    return at;
}

#ifdef SKAV_WIDE_VECTORS
SKAV_WIDE_TARGET size_t scan_vectors_wide(std::string_view bytes, size_t start, size_t end, bool& high,
                                          TextScan& scan) {
    return scan_vectors_by<32>(bytes, start, end, high, scan);
}
#endif

size_t scan_vectors(std::string_view bytes, size_t start, size_t end, bool& high, TextScan& scan) {
#ifdef SKAV_WIDE_VECTORS
    if (core::has_wide_vectors()) return scan_vectors_wide(bytes, start, end, high, scan);
#endif
    return scan_vectors_by<16>(bytes, start, end, high, scan);
}

// The places of [from, end) that the vectors left, one at a time.
bool scan_rest(std::string_view bytes, size_t from, size_t end, TextScan& scan) {
    bool high = false;
    for (size_t at = from; at < end; ++at) {
        high = high || static_cast<unsigned char>(bytes[at]) >= 0x80;
        for (core::TextHits* hits : {&scan.tddft, &scan.casscf}) {
            if (bytes.substr(at, hits->needle.size()) == hits->needle) hits->offsets.push_back(at);
        }
    }
    return high;
}

}  // namespace

bool holds_tddft_heading(std::string_view text, const core::TextHits& hits) noexcept {
    using namespace parsers::headings;
    auto is_at = [&](size_t hit, std::string_view heading) {
        size_t inside = heading.find(kSOCCommon);
        return hit >= inside && text.substr(hit - inside, heading.size()) == heading;
    };
    return std::any_of(hits.offsets.begin(), hits.offsets.end(), [&](size_t hit) {
        return std::any_of(kSOCAny.begin(), kSOCAny.end(), [&](std::string_view heading) { return is_at(hit, heading); });
    });
}

void TextScanner::scan_stretch(std::string_view bytes) {
    size_t start = scanned_, end = stretch_end(bytes, start, stretch_);
    std::string_view piece = bytes.substr(start, end - start);
    if (!headings_) {
        if (scan_.utf8) scan_.utf8 = core::is_valid_utf8(piece);
    } else {
        bool high = false;
        size_t rest = scan_vectors(bytes, start, end, high, scan_);
        high = scan_rest(bytes, rest, end, scan_) || high;
        // Text that is all ASCII is UTF-8; other text gets the whole check.
        if (scan_.utf8 && high) scan_.utf8 = core::is_valid_utf8(piece);
    }
    if (scan_.program_version == std::string_view::npos) {
        // From where words that end in this stretch may begin.
        constexpr size_t kBack = parsers::headings::kProgramVersion.size() - 1;
        size_t from = start > kBack ? start - kBack : 0;
        if (const char* hit = core::find_text(bytes.substr(from, end - from), parsers::headings::kProgramVersion)) {
            scan_.program_version = static_cast<size_t>(hit - bytes.data());
        }
    }
    scanned_ = end;
}

void TextScanner::advance(std::string_view bytes) {
    // A stretch's end looks at the byte after it, and a heading may start in it and end later.
    const size_t after = std::max(kTDDFTNeedle.size(), kCASSCFNeedle.size());
    while (scanned_ + std::max<size_t>(stretch_, 4) + after <= bytes.size()) scan_stretch(bytes);
}

TextScan TextScanner::finish(std::string_view bytes) && {
    while (scanned_ < bytes.size()) scan_stretch(bytes);
    return std::move(scan_);
}

}  // namespace columns
