// libFuzzer target: any bytes, through the UTF-8 check, into the TD-DFT parser. Where a line is
// the section heading, the result (or failure) is that of the reading by that heading alone.
#include <bit>
#include <variant>

#include "fuzz/harness.hpp"
#include "parsers/headings.hpp"
#include "parsers/tddft.hpp"

namespace {

using records::tddft::SOCMatrix;

// A reading's result, or its failure's message and line.
using Outcome = std::variant<SOCMatrix, std::pair<std::string, size_t>>;

template <typename Read>
std::optional<Outcome> outcome_of(std::string_view text, Read read) {
    core::DeferredReports deferred;
    try {
        return core::locating_failures(text, [&]() -> std::optional<Outcome> {
            std::optional<SOCMatrix> matrix = read();
            if (!matrix) return std::nullopt;
            return Outcome(std::move(*matrix));
        });
    } catch (const core::CheckFailure& failure) {
        return Outcome(std::pair{failure.message(), failure.location().line()});
    }
}

bool same_bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

bool same_matrices(const SOCMatrix& a, const SOCMatrix& b) {
    if (a.eigenvectors.size() != b.eigenvectors.size()) return false;
    for (size_t i = 0; i < a.eigenvectors.size(); ++i) {
        const auto &x = a.eigenvectors[i], &y = b.eigenvectors[i];
        if (x.n != y.n || !same_bits(x.energy, y.energy) || x.elements.size() != y.elements.size()) return false;
        for (size_t k = 0; k < x.elements.size(); ++k) {
            const auto &c = x.elements[k], &d = y.elements[k];
            if (!same_bits(c.weight, d.weight) || !same_bits(c.real, d.real) || !same_bits(c.imag, d.imag) ||
                c.root != d.root || c.spin != d.spin || c.ms != d.ms) {
                return false;
            }
        }
    }
    return true;
}

bool same_outcomes(const Outcome& a, const Outcome& b) {
    if (a.index() != b.index()) return false;
    if (const auto* matrix = std::get_if<SOCMatrix>(&a)) return same_matrices(*matrix, std::get<SOCMatrix>(b));
    return std::get<1>(a) == std::get<1>(b);
}

void check_section_heading_reading_stands(std::string_view text) {
    using namespace parsers;
    std::optional<Outcome> by_heading = outcome_of(text, [&] {
        return tddft::read_last_section(text, std::span(&headings::kSOCSection, 1));
    });
    if (!by_heading) return;  // no line is the section heading
    std::optional<Outcome> result = outcome_of(text, [&] { return std::optional(tddft::parse_tddft(text).soc_matrix); });
    if (!same_outcomes(*by_heading, *result)) fuzz::bug("a text with the section heading read otherwise", "");
}

// The fields of each line as a plain walk splits them, a byte at a time, at White_Space.
void check_fields(std::string_view text) {
    using parsers::whitespace_length;
    parsers::LineCursor lines(text);
    while (std::optional<std::string_view> next = lines.next()) {
        std::string_view line = *next;
        parsers::Fields fields(line);
        for (size_t at = 0; at < line.size();) {
            size_t blank = whitespace_length(line, at);
            if (blank) {
                at += blank;
                continue;
            }
            size_t end = at;
            while (end < line.size() && whitespace_length(line, end) == 0) ++end;
            if (fields.next() != line.substr(at, end - at)) fuzz::bug("a field split otherwise", "");
            at = end;
        }
        if (fields.next()) fuzz::bug("a field after the last", "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::run(data, size, false, [](core::Text text) { return parsers::tddft::parse_tddft(std::move(text)); });
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (core::is_valid_utf8(bytes)) {
        check_section_heading_reading_stands(bytes);
        check_fields(bytes);
    }
    return 0;
}
