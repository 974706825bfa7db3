#pragma once
// The TD-DFT spin-orbit-coupling parser: finds every SOC section, the last one wins.

#include <string_view>
#include <variant>
#include <vector>

#include "binding/text.hpp"
#include "outputs/tddft.hpp"
#include "parsers/lines.hpp"

namespace parsers::tddft {

// Token texts are views into the input text, which outlives the tokens of every section.
namespace soc_token {
struct Header {};
struct State {
    std::string_view state_piece;  // the text before the first ':', "STATE" words still in it
    std::string_view energy;
};
struct Element {
    std::string_view weight, real, imag, root, spin, ms;
};
struct EmptyLine {};
}  // namespace soc_token

using SOCMatrixToken = std::variant<soc_token::Header, soc_token::State, soc_token::Element, soc_token::EmptyLine>;

SOCMatrixToken tokenize_soc_line(std::string_view line);

// The tokens of one section's eigenvector block; consumes the empty line that ends it.
std::vector<SOCMatrixToken> scan_soc_section(LineCursor& lines);

outputs::tddft::SOCMatrix assemble_soc_matrix(const std::vector<SOCMatrixToken>& tokens);

// Takes the text over and frees it before returning.
outputs::tddft::TDDFTOutput parse_tddft(binding::Text text);

}  // namespace parsers::tddft
