#pragma once
// The CASSCF orbital-composition parser: the first composition section, block by block.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "binding/text.hpp"
#include "outputs/casscf.hpp"
#include "parsers/lines.hpp"

namespace parsers::casscf {

// Token texts are views into the input text, which outlives the tokens.
namespace token {
struct TableHeader {
    std::vector<std::string_view> texts;
};
struct Contribution {
    std::string_view atom_nr, element, orbital_type;
    std::vector<std::string_view> values;
};
struct TableDivider {};
struct EmptyLine {};
struct SectionDivider {};
}  // namespace token

using Token = std::variant<token::TableHeader, token::Contribution, token::TableDivider, token::EmptyLine,
                           token::SectionDivider>;

// How a token is written into messages, e.g. TableHeader(["1", "2", "3", "4", "5"]).
std::string text_form(const Token& token);

Token tokenize_composition_line(std::string_view line);

// The tokens of the section; the cursor is not read past the line that ends it.
std::vector<Token> scan_composition_section(LineCursor& lines);

std::vector<outputs::casscf::Orbital> assemble_orbitals(std::vector<Token> tokens);

// Takes the text over and frees it before returning; no record when there is no section.
std::optional<outputs::casscf::CASSCFOutput> parse_casscf(binding::Text text);

}  // namespace parsers::casscf
