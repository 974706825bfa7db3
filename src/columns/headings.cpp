#include "columns/headings.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "parsers/lines.hpp"

namespace columns {
namespace {

using Bytes = char __attribute__((vector_size(16)));

struct Hit {
    const char* at = nullptr;
    bool is_tddft = false;
};

bool starts_with_at(const char* at, const char* end, std::string_view needle) noexcept {
    return static_cast<size_t>(end - at) >= needle.size() && std::memcmp(at, needle.data(), needle.size()) == 0;
}

// Lanes where `needle` may start: its first and its last byte are in place.
Bytes candidates(const char* p, std::string_view needle) noexcept {
    Bytes head, tail;
    std::memcpy(&head, p, 16);
    std::memcpy(&tail, p + needle.size() - 1, 16);
    return (head == Bytes{} + needle.front()) & (tail == Bytes{} + needle.back());
}

// The first place where either heading starts, sixteen positions at a time while both fit
// (the vector style of parsers::find_text, with two needles in the one pass).
Hit find_either(std::string_view text) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    auto hit_at = [&](const char* at) -> Hit {
        if (starts_with_at(at, end, kTDDFTHeading)) return {at, true};
        if (starts_with_at(at, end, kCASSCFHeading)) return {at, false};
        return {};
    };
    const auto room = static_cast<ptrdiff_t>(15 + std::max(kTDDFTHeading.size(), kCASSCFHeading.size()));
    for (; end - p >= room; p += 16) {
        Bytes matches = candidates(p, kTDDFTHeading) | candidates(p, kCASSCFHeading);
        uint64_t halves[2];
        std::memcpy(halves, &matches, 16);
        if (!(halves[0] | halves[1])) continue;
        for (int i = 0; i < 16; ++i) {
            if (matches[i] == 0) continue;
            if (Hit hit = hit_at(p + i); hit.at) return hit;
        }
    }
    for (; p < end; ++p) {
        if (Hit hit = hit_at(p); hit.at) return hit;
    }
    return {};
}

}  // namespace

Headings find_headings(std::string_view bytes) noexcept {
    Hit first = find_either(bytes);
    if (!first.at) return {};
    // The other heading cannot start before the first one found.
    std::string_view rest = bytes.substr(static_cast<size_t>(first.at - bytes.data()));
    bool other = parsers::find_text(rest, first.is_tddft ? kCASSCFHeading : kTDDFTHeading) != nullptr;
    return first.is_tddft ? Headings{true, other} : Headings{other, true};
}

}  // namespace columns
