#pragma once
// The CASSCF orbital-composition parser: the first composition section, block by block.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/reference/records.hpp"
#include "fuzz/reference/lines.hpp"

namespace reference::casscf {

namespace token {
struct TableHeader {
    std::vector<std::string> texts;
};
struct Contribution {
    std::string atom_nr, element, orbital_type;
    std::vector<std::string> values;
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

std::vector<reference_records::casscf::Orbital> assemble_orbitals(std::vector<Token> tokens);

// Takes the text over and frees it before returning; no record when there is no section.
std::optional<reference_records::casscf::CASSCFOutput> parse_casscf(std::string text);

}  // namespace reference::casscf
