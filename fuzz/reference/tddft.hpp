#pragma once
// The TD-DFT spin-orbit-coupling parser: finds every SOC section, the last one wins.

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/reference/records.hpp"
#include "fuzz/reference/lines.hpp"

namespace reference::tddft {

namespace soc_token {
struct Header {};
struct State {
    std::string state;
    std::string energy;
};
struct Element {
    std::string weight, real, imag, root, spin, ms;
};
struct EmptyLine {};
}  // namespace soc_token

using SOCMatrixToken = std::variant<soc_token::Header, soc_token::State, soc_token::Element, soc_token::EmptyLine>;

SOCMatrixToken tokenize_soc_line(std::string_view line);

// The tokens of one section's eigenvector block; consumes the empty line that ends it.
std::vector<SOCMatrixToken> scan_soc_section(LineCursor& lines);

reference_records::tddft::SOCMatrix assemble_soc_matrix(const std::vector<SOCMatrixToken>& tokens);

// Takes the text over and frees it before returning.
reference_records::tddft::TDDFTOutput parse_tddft(std::string text);

}  // namespace reference::tddft
