#pragma once
// The CASSCF orbital-composition parser: the first composition section, block by block.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/check.hpp"
#include "core/text.hpp"
#include "records/casscf.hpp"
#include "parsers/lines.hpp"
#include "parsers/numbers.hpp"

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

Token tokenize_composition_line(std::string_view line);

// Builds the orbitals of the section's column blocks from its tokens as the tokenizer
// makes them. A line the tokenizer cannot read, anywhere in the section, is reported before
// any failure of the table's order or numbers, so the first of those is held back until the
// section has been read.
class OrbitalAssembler {
public:
    // `line` is the line the token was made from.
    void add(Token token, std::string_view line);
    // The orbitals of all completed blocks; raises the held-back failure, or the failure of
    // a table that ends inside a block.
    std::vector<records::casscf::Orbital> finish() &&;
    // Blocks whose energy or occupation row was another kind of line: they have no orbitals.
    // The fuzz oracle that compares the two readings of a table asks for it.
    size_t blocks_without_orbitals() const noexcept { return blocks_without_orbitals_; }

private:
    // Where the next token stands in the table.
    enum class State { BetweenBlocks, EnergyRow, OccupationRow, Divider, Rows, Ended };

    void make_orbitals(const token::TableHeader& occupations, std::string_view occupation_line);
    void add_row(const token::Contribution& row, std::string_view line);
    // A row of another kind stands for the energy or occupation row: the block gets no orbitals.
    void skip_orbitals(const Token& token, std::string_view line);
    // Keeps `error`'s failure, with its line, if it is one; whether it kept one.
    bool hold_back_if_failed(const NumberError& error, std::string_view line, source_location at = source_location::current());
    void hold_back(std::string message, std::string_view line, source_location at = source_location::current());

    State state_ = State::BetweenBlocks;
    token::TableHeader numbers_;
    token::TableHeader energies_;
    std::string_view number_line_, energy_line_;
    std::optional<std::string_view> section_rule_line_;  // a section rule taken as a header row
    std::vector<records::casscf::Orbital> block_;   // the block being read
    std::vector<records::casscf::Orbital> result_;  // the blocks completed
    std::optional<core::HeldFailure> held_back_;
    size_t blocks_without_orbitals_ = 0;
};

// The lines of the table that are classified: up to and including the first line that starts
// with the section rule; an underline repeated inside the table also discards the line after it.
class TableLines {
public:
    // `lines` stands at the table's first line.
    explicit TableLines(LineCursor lines) noexcept : lines_(lines) {}
    std::optional<std::string_view> next() noexcept;

private:
    LineCursor lines_;
    bool ended_ = false;
};

// Moves `lines` past the underline that opens the table and the line after it; false when
// no underline comes.
bool skip_to_table(LineCursor& lines) noexcept;

// Feeds the tokens of the table to `assembler`.
void scan_composition_section(TableLines lines, OrbitalAssembler& assembler);

// The table read as blocks of any width from 1 to 6 columns, the section rule not part of it;
// none when the table is not of that form.
std::optional<std::vector<records::casscf::Orbital>> read_blocks_of_any_width(TableLines lines);

// Takes the text over and frees it before returning; no record when there is no section.
std::optional<records::casscf::CASSCFOutput> parse_casscf(core::Text text);
// Reads the text where it is; the caller keeps it. `hits`: those of the section heading in
// the text, when a pass over it has found them already.
std::optional<records::casscf::CASSCFOutput> parse_casscf(std::string_view text, const core::TextHits* hits = nullptr);

}  // namespace parsers::casscf
