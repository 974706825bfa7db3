#include "columns/text_scan.hpp"

#include <algorithm>
#include <cstring>

#include "core/utf8.hpp"
#include "parsers/headings.hpp"
#include "parsers/lines.hpp"

namespace columns {
namespace {

using core::ByteVector;
using parsers::headings::kProgramVersion;

// Checked by the UTF-8 check and scanned by the vectors while in cache.
constexpr size_t kStretch = size_t{64} << 10;
// The bytes that a needle, a heading around it or the version's words reach beyond the needle's start.
constexpr size_t kReach = 31;

// Whether every heading around `needle` starts at most FileScan::kBefore bytes before it and
// ends within kReach bytes after its start.
consteval bool within_reach(std::span<const std::string_view> headings, std::string_view needle) {
    for (std::string_view heading : headings) {
        size_t inside = heading.find(needle);
        if (inside > FileScan::kBefore || heading.size() - inside > kReach) return false;
    }
    return needle.size() <= kReach;
}
static_assert(within_reach(parsers::headings::kSOCAny, parsers::headings::kSOCCommon) &&
              within_reach(std::span(&parsers::headings::kComposition, 1), parsers::headings::kComposition) &&
              kProgramVersion.size() <= kReach);

// Compares the first, second and last bytes of each needle with those of the places of the block
// at `at`: the lanes where a needle may start, of any needle. Two bytes alone let through
// many places of text in capitals, whose candidates then cost more than the vectors.
template <size_t Width, size_t N>
[[gnu::always_inline]] inline ByteVector<Width> candidates(const char* text, size_t at, ByteVector<Width> block,
                                                            const std::array<ByteVector<Width>, N>& first,
                                                            const std::array<ByteVector<Width>, N>& second,
                                                            const std::array<ByteVector<Width>, N>& last,
                                                            const std::array<size_t, N>& last_at) {
    ByteVector<Width> any{};
    const ByteVector<Width> next = core::load_bytes<Width>(text + at + 1);
    for (size_t n = 0; n < N; ++n) {
        any |= (block == first[n]) & (next == second[n]) & (core::load_bytes<Width>(text + at + last_at[n]) == last[n]);
    }
    return any;
}

// The needles that start in the block at `at`, looked at one place at a time: the first and last
// bytes again, which most places fail, before the whole (a call each).
template <size_t Width, size_t N>
[[gnu::noinline]] void add_hits(const char* text, size_t at, const std::array<std::string_view, N>& needles,
                                std::array<std::vector<size_t>*, N> hits) {
    for (size_t n = 0; n < N; ++n) {
        const std::string_view needle = needles[n];
        const size_t last = needle.size() - 1;
        for (size_t i = 0; i < Width; ++i) {
            const char* place = text + at + i;
            if (place[0] == needle.front() && place[last] == needle.back() &&
                std::memcmp(place, needle.data(), needle.size()) == 0) {
                hits[n]->push_back(at + i);
            }
        }
    }
}

// The places among [start, end) of `bytes` that the vectors can look at, each needle where it fits
// into `bytes`, two blocks of `Width` bytes a step: the first and last bytes of each needle are
// compared before the whole, newlines counted lane by lane, high bits gathered for the UTF-8 check.
// Returns where it stopped.
template <size_t Width, size_t N, bool CountLines>
[[gnu::always_inline]] inline size_t scan_vectors_by(std::string_view bytes, size_t start, size_t end,
                                                     const std::array<std::string_view, N>& needles,
                                                     std::array<std::vector<size_t>*, N> hits, bool& high,
                                                     size_t& newlines) {
    using core::load_bytes, core::splat;
    const char* text = bytes.data();
    size_t reach = 0;
    std::array<ByteVector<Width>, N> first, second, last;
    std::array<size_t, N> last_at;
    for (size_t n = 0; n < N; ++n) {
        first[n] = splat<Width>(needles[n].front());
        second[n] = splat<Width>(needles[n][1]);
        last[n] = splat<Width>(needles[n].back());
        last_at[n] = needles[n].size() - 1;
        reach = std::max({reach, last_at[n], size_t{1}});
    }
    const ByteVector<Width> newline = splat<Width>('\n');
    ByteVector<Width> highs{}, counts{};
    size_t counted = 0;
    auto flush_counts = [&] {
        signed char lanes[Width];
        std::memcpy(lanes, &counts, Width);
        for (signed char lane : lanes) newlines += static_cast<size_t>(lane);
        counts = ByteVector<Width>{};
        counted = 0;
    };
    size_t at = start;
    for (; at + 2 * Width <= end && at + 2 * Width + reach <= bytes.size(); at += 2 * Width) {
        ByteVector<Width> one = load_bytes<Width>(text + at), two = load_bytes<Width>(text + at + Width);
        highs |= one | two;
        if constexpr (CountLines) {
            counts -= (one == newline) + (two == newline);  // a lane of a match is -1
            // A lane counts up to 126 newlines.
            if (++counted == 63) flush_counts();
        }
        ByteVector<Width> in_one = candidates<Width, N>(text, at, one, first, second, last, last_at);
        ByteVector<Width> in_two = candidates<Width, N>(text, at + Width, two, first, second, last, last_at);
        if (core::any_lane<Width>(in_one | in_two)) [[unlikely]] {
            add_hits<Width, N>(text, at, needles, hits);
            add_hits<Width, N>(text, at + Width, needles, hits);
        }
    }
    if (at + Width <= end && at + Width + reach <= bytes.size()) {
        ByteVector<Width> one = load_bytes<Width>(text + at);
        highs |= one;
        if constexpr (CountLines) counts -= (one == newline);
        if (core::any_lane<Width>(candidates<Width, N>(text, at, one, first, second, last, last_at))) {
            add_hits<Width, N>(text, at, needles, hits);
        }
        at += Width;
    }
    flush_counts();
    high = core::any_lane<Width>(highs < 0);
    return at;
}

#ifdef SKAV_WIDE_VECTORS
template <size_t N, bool CountLines>
SKAV_WIDE_TARGET size_t scan_vectors_wide(std::string_view bytes, size_t start, size_t end,
                                          const std::array<std::string_view, N>& needles,
                                          std::array<std::vector<size_t>*, N> hits, bool& high, size_t& newlines) {
    return scan_vectors_by<32, N, CountLines>(bytes, start, end, needles, hits, high, newlines);
}
#endif

template <size_t N, bool CountLines>
size_t scan_vectors(std::string_view bytes, size_t start, size_t end, const std::array<std::string_view, N>& needles,
                    std::array<std::vector<size_t>*, N> hits, bool& high, size_t& newlines) {
#ifdef SKAV_WIDE_VECTORS
    if (core::has_wide_vectors()) return scan_vectors_wide<N, CountLines>(bytes, start, end, needles, hits, high, newlines);
#endif
    return scan_vectors_by<16, N, CountLines>(bytes, start, end, needles, hits, high, newlines);
}

// The places of [from, end) that the vectors left, one at a time (counting newlines too, which is
// harmless where they are not counted).
bool scan_rest(std::string_view bytes, size_t from, size_t end, std::span<const std::string_view> needles,
               std::span<std::vector<size_t>* const> hits, size_t& newlines) {
    bool high = false;
    for (size_t at = from; at < end; ++at) {
        high = high || static_cast<unsigned char>(bytes[at]) >= 0x80;
        newlines += bytes[at] == '\n';
        for (size_t n = 0; n < needles.size(); ++n) {
            if (bytes[at] == needles[n].front() && bytes.substr(at, needles[n].size()) == needles[n]) hits[n]->push_back(at);
        }
    }
    return high;
}

// Where a stretch from `start` ends: before a character's first byte, so that the check of the
// stretch alone judges its characters as the check of the whole would. Past three continuation
// bytes the text is no UTF-8 anyway, and the next stretch, starting with one, says so.
size_t stretch_end(std::string_view bytes, size_t start, size_t end) noexcept {
    size_t stop = std::min(end, start + kStretch);
    for (int back = 0; back < 3 && stop < end && core::is_continuation_byte(static_cast<unsigned char>(bytes[stop])); ++back) {
        --stop;
    }
    return stop;
}

// Where the bytes before `end` stop short of a character that the next bytes may complete.
size_t before_cut_character(std::string_view bytes, size_t from, size_t end) noexcept {
    for (size_t back = 1; back <= 3 && end >= from + back; ++back) {
        auto byte = static_cast<unsigned char>(bytes[end - back]);
        if (core::is_continuation_byte(byte)) continue;
        size_t size = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return back < size ? end - back : end;
    }
    return end;
}

// The first field of a line's rest, as the module's fields split it.
std::optional<std::string_view> first_field(std::string_view rest) noexcept {
    return parsers::Fields(rest.substr(0, rest.find('\n'))).next();
}

using Needles = std::array<std::string_view, kMostTargets + 1>;
using Hits = std::array<std::vector<size_t>*, kMostTargets + 1>;

// The vector scan for the first N of the needles.
template <size_t N, bool CountLines>
size_t scan_vectors_for(std::string_view bytes, size_t start, size_t end, const Needles& needles, const Hits& hits,
                        bool& high, size_t& newlines) {
    std::array<std::string_view, N> some;
    std::array<std::vector<size_t>*, N> into;
    std::copy_n(needles.begin(), N, some.begin());
    std::copy_n(hits.begin(), N, into.begin());
    return scan_vectors<N, CountLines>(bytes, start, end, some, into, high, newlines);
}

// The vector scan for the first `count` of the needles: one made for each count.
template <bool CountLines, size_t... N>
size_t scan_vectors_for(size_t count, std::string_view bytes, size_t start, size_t end, const Needles& needles,
                        const Hits& hits, bool& high, size_t& newlines, std::index_sequence<N...>) {
    using Scan = size_t (*)(std::string_view, size_t, size_t, const Needles&, const Hits&, bool&, size_t&);
    static constexpr Scan kScans[] = {scan_vectors_for<N, CountLines>...};
    return kScans[count](bytes, start, end, needles, hits, high, newlines);
}

template <bool CountLines>
size_t scan_vectors_for(size_t count, std::string_view bytes, size_t start, size_t end, const Needles& needles,
                        const Hits& hits, bool& high, size_t& newlines) {
    return scan_vectors_for<CountLines>(count, bytes, start, end, needles, hits, high, newlines,
                                        std::make_index_sequence<kMostTargets + 2>{});
}


}  // namespace

FileScan::FileScan(std::span<const ScanTarget> targets, LineCounter* counter)
    : targets_(targets.begin(), targets.end()), counter_(counter) {
    for (size_t t = 0; t < targets_.size(); ++t) {
        auto known = std::find(needles_.begin(), needles_.end(), targets_[t].needle);
        needle_of_[t] = static_cast<size_t>(known - needles_.begin());
        if (known == needles_.end()) needles_.push_back(targets_[t].needle);
    }
    gate_of_.fill(kNoGate);
    for (size_t t = 0; t < targets_.size(); ++t) {
        auto gate = std::find(needles_.begin(), needles_.end(), targets_[t].after);
        if (!targets_[t].after.empty() && gate != needles_.end()) {
            gate_of_[needle_of_[t]] = static_cast<size_t>(gate - needles_.begin());
        }
    }
}

std::vector<core::TextHits> FileScan::waiting() const {
    std::vector<core::TextHits> none;
    for (size_t n = 0; n < needles_.size(); ++n) {
        if (!looked_for(n)) none.push_back({needles_[n], {}});
    }
    return none;
}

void FileScan::open_gates(std::string_view bytes, size_t end, Found& found) {
    Needles needles{};
    Hits hits{};
    size_t count = 0, from = end;
    for (size_t n = 0; n < needles_.size(); ++n) {
        if (looked_for(n) || found.hits[gate_of_[n]].empty()) continue;
        // The gate's first place ever: it was not looked for in vain before this stretch.
        from = std::min(from, found.hits[gate_of_[n]].front());
        needles[count] = needles_[n];
        hits[count++] = &found.hits[n];
    }
    for (size_t n = 0; n < needles_.size(); ++n) seen_[n] = seen_[n] || !found.hits[n].empty();
    if (count == 0) return;
    bool high = false;
    size_t newlines = 0;  // counted by the scan of the stretch already
    size_t rest = scan_vectors_for<false>(count, bytes, from, end, needles, hits, high, newlines);
    scan_rest(bytes, rest, end, std::span(needles).first(count), std::span(hits).first(count), newlines);
}

size_t FileScan::line_at(uint64_t offset) {
    if (!counter_) return 1 + (offset == piece_ ? piece_newlines_ : newlines_);
    if (offset >= counted_to_) {
        newlines_ += counter_->newlines(counted_to_, offset);
        counted_to_ = offset;
        return newlines_ + 1;
    }
    return newlines_ - counter_->newlines(offset, counted_to_) + 1;
}

void FileScan::scan(std::string_view bytes, uint64_t at, size_t from, size_t to, Found& found) {
    if (counter_) return scan_by<false>(bytes, at, from, to, found);
    scan_by<true>(bytes, at, from, to, found);
}

template <bool CountLines>
void FileScan::scan_by(std::string_view bytes, uint64_t at, size_t from, size_t to, Found& found) {
    for (size_t start = from; start < to;) {
        Needles needles{};
        Hits hits{};
        size_t count = 0;
        bool waiting = false;  // a needle waits for its gate
        for (size_t n = 0; n < needles_.size(); ++n) {
            waiting = waiting || !looked_for(n);
            if (!looked_for(n)) continue;
            needles[count] = needles_[n];
            hits[count++] = &found.hits[n];
        }
        // The version's words, while they are looked for.
        if (!version_found_) {
            needles[count] = kProgramVersion;
            hits[count++] = &found.hits[kMostTargets];
        }
        size_t end = stretch_end(bytes, start, to);
        bool high = false;
        size_t rest = scan_vectors_for<CountLines>(count, bytes, start, end, needles, hits, high, found.newlines);
        high = scan_rest(bytes, rest, end, std::span(needles).first(count), std::span(hits).first(count),
                         found.newlines) || high;
        // Text that is all ASCII is UTF-8; other text gets the whole check.
        if (high && !invalid_utf8_) check_utf8(bytes, at, start, end);
        if (waiting) open_gates(bytes, end, found);
        start = end;
    }
}

void FileScan::check_utf8(std::string_view bytes, uint64_t at, size_t from, size_t to) {
    size_t bad = core::first_invalid_utf8(bytes.substr(from, to - from));
    if (bad == std::string_view::npos) return;
    // Counting as it goes, the newlines before `bytes` are those counted: it is scanned before they are added.
    size_t line = counter_ ? line_at(at) : newlines_ + 1;
    line += static_cast<size_t>(std::count(bytes.begin(), bytes.begin() + from + bad, '\n'));
    invalid_utf8_ = core::Location::invalid_utf8_at(at + from + bad, line);
}

void FileScan::note_headings(std::string_view bytes, const Found& found) {
    for (size_t t = 0; t < targets_.size(); ++t) {
        if (holds_[t]) continue;
        const ScanTarget& target = targets_[t];
        for (size_t hit : found.hits[needle_of_[t]]) {
            for (std::string_view heading : target.headings) {
                size_t inside = heading.find(target.needle);
                if (hit >= inside && bytes.substr(hit - inside, heading.size()) == heading) holds_[t] = true;
            }
        }
    }
}

void FileScan::scan_lines(std::string_view lines, std::vector<core::TextHits>& hits) {
    Found found;
    piece_ = offset_;
    piece_newlines_ = newlines_;
    scan(lines, offset_, 0, lines.size(), found);
    note_headings(lines, found);
    hits.resize(needles_.size());
    for (size_t n = 0; n < needles_.size(); ++n) hits[n] = {needles_[n], std::move(found.hits[n])};
    const std::vector<size_t>& words = found.hits[kMostTargets];
    if (!version_found_ && !words.empty()) {
        version_found_ = true;
        std::optional<std::string_view> field = first_field(lines.substr(words.front() + kProgramVersion.size()));
        if (field) version_ = std::string(*field);
    }
    offset_ += lines.size();
    if (!counter_) {
        newlines_ += found.newlines;
        counted_to_ = offset_;
    }
}

size_t FileScan::scan_line_part(std::string_view part, size_t from, bool line_ends) {
    size_t to = part.size();
    if (!line_ends) to = to > kReach ? before_cut_character(part, from, to - kReach) : from;
    to = std::max(from, to);
    Found found;
    size_t start = offset_;  // of `from`, in the file
    scan(part, start - from, from, to, found);
    note_headings(part, found);
    const std::vector<size_t>& words = found.hits[kMostTargets];
    if (!version_found_ && !words.empty()) {
        version_found_ = true;
        version_capture_.emplace();
        capture_at_ = start + (words.front() - from) + kProgramVersion.size();
    }
    // The words may end beyond what is scanned: the field starts after them.
    if (version_capture_ && capture_at_ < start + (to - from)) {
        size_t first = from + (std::max(capture_at_, start) - start);
        version_capture_->feed(part.substr(first, to - first));
        capture_at_ = start + (to - from);
    }
    offset_ += to - from;
    return to;
}

void FileScan::end_line_part(bool newline) {
    if (version_capture_ && !version_capture_->done()) {
        version_capture_->end();
    }
    if (version_capture_ && !version_capture_->field().empty()) version_ = version_capture_->field();
    version_capture_.reset();
    if (!newline) return;
    ++offset_;
    if (!counter_) {
        ++newlines_;
        counted_to_ = offset_;
    }
}

std::optional<std::string_view> FileScan::program_version() const noexcept {
    // A file that is no UTF-8 elsewhere still names its release; a string column holds UTF-8 only.
    if (!version_ || !core::is_valid_utf8(*version_)) return std::nullopt;
    return *version_;
}

}  // namespace columns
