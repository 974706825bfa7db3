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
// section has been read. What it keeps of a line beyond the line's own token is a copy, so that
// the lines may be a piece of the text at a time.
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
    // Whether a line it keeps for its failures still points into the lines it was given; they take
    // their place from `piece` while it is there.
    bool pending() const noexcept;
    void settle(std::string_view piece, size_t first_line) noexcept;

private:
    // Where the next token stands in the table.
    enum class State { BetweenBlocks, EnergyRow, OccupationRow, Divider, Rows, Ended };

    void make_orbitals(const token::TableHeader& occupations, std::string_view occupation_line);
    void add_row(const token::Contribution& row, std::string_view line);
    // A row of another kind stands for the energy or occupation row: the block gets no orbitals.
    void skip_orbitals(const Token& token, std::string_view line);
    // Keeps `error`'s failure, with its line, if it is one; whether it kept one.
    bool hold_back_if_failed(const NumberError& error, const core::Location& line,
                             source_location at = source_location::current());
    void hold_back(std::string message, const core::Location& line, source_location at = source_location::current());

    State state_ = State::BetweenBlocks;
    std::vector<std::string> numbers_, energies_;  // the block's header rows
    core::Location number_line_, energy_line_;
    std::optional<core::Location> section_rule_line_;  // a section rule taken as a header row
    std::vector<records::casscf::Orbital> block_;   // the block being read
    std::vector<records::casscf::Orbital> result_;  // the blocks completed
    std::optional<core::HeldFailure> held_back_;
    size_t blocks_without_orbitals_ = 0;
};

// The table read as blocks of any width from 1 to 6 columns, a line at a time; any line that
// cannot stand where it does ends the reading.
class AnyWidthReader {
public:
    // Whether the line can stand where it does (the section rule is not a line of the table).
    bool add(std::string_view line);
    // The orbitals, unless a block is still open.
    std::optional<std::vector<records::casscf::Orbital>> finish() &&;

private:
    // Where the next line stands in the table.
    enum class State { BetweenBlocks, EnergyRow, OccupationRow, Divider, Rows };

    bool read_numbers(std::string_view line);
    bool read_header_values(std::string_view line, float records::casscf::Orbital::*value);
    bool read_row(std::string_view line);

    State state_ = State::BetweenBlocks;
    std::vector<records::casscf::Orbital> block_;
    std::vector<records::casscf::Orbital> result_;
};

// The lines of the table that are classified, taken from the cursor it is given each time: up to
// and including the first line that starts with the section rule; an underline repeated inside
// the table also discards the line after it.
class TableLines {
public:
    std::optional<std::string_view> next(LineCursor& lines) noexcept;
    // Whether the section rule has come: no line of the table follows.
    bool ended() const noexcept { return ended_; }

private:
    bool ended_ = false;
    bool skip_next_ = false;  // the line after an underline
};

// Moves `lines` past the underline that opens the table and the line after it; false when
// no underline comes.
bool skip_to_table(LineCursor& lines) noexcept;

// Feeds the tokens of the table that starts at `lines` to `assembler`.
void scan_composition_section(LineCursor lines, OrbitalAssembler& assembler);

// The table that starts at `lines` read as blocks of any width from 1 to 6 columns, the section
// rule not part of it; none when the table is not of that form.
std::optional<std::vector<records::casscf::Orbital>> read_blocks_of_any_width(LineCursor lines);

// The same for the lines of a table kept as a text, each ending in "\n".
std::optional<std::vector<records::casscf::Orbital>> read_kept_lines_of_any_width(std::string_view kept);

// Reads the first composition section as far as the lines it is given go: the whole text at
// once, or a piece of whole lines at a time. Its table is read as blocks of five or six columns
// and, where that fails, as blocks of any width.
class CompositionReading {
public:
    // `keeps_lines`: the table's lines are kept as they pass, for lines that do not stay, to be read
    // again where the first reading fails; otherwise they are read again from where the table starts.
    // `common`: a text that the heading holds once, looked for to find it.
    CompositionReading(bool keeps_lines, std::string_view common) noexcept : keeps_lines_(keeps_lines), common_(common) {}
    // Takes lines until they run out or the table has ended.
    void read(LineCursor& lines);
    // Whether the next line is read whole: it is a line of the table.
    bool reads_whole_lines() const noexcept { return step_ == Step::Table; }
    // Whether a failure kept still points into the lines it was given; they take their line from
    // `piece` while it is there.
    bool pending() const noexcept { return assembler_.pending() || (failure_ && failure_->location().pending()); }
    void settle(std::string_view piece, size_t first_line) noexcept;
    // At the end of the text: no record without a composition heading; raises the failure of the
    // table where neither reading reads it.
    std::optional<records::casscf::CASSCFOutput> finish() &&;

private:
    // What the next line is to the reading.
    enum class Step { Heading, Underline, SkippedLine, Table, Ended };

    void add_table_line(std::string_view line);

    bool keeps_lines_;
    std::string_view common_;
    Step step_ = Step::Heading;
    TableLines table_;
    std::optional<LineCursor> table_start_;  // the table's first line, to read it again
    OrbitalAssembler assembler_;
    std::optional<core::CheckFailure> failure_;  // of the first reading, found while the table is read
    std::string kept_lines_;
};

// Takes the text over and frees it before returning; no record when there is no section.
std::optional<records::casscf::CASSCFOutput> parse_casscf(core::Text text);
// Reads the text where it is; the caller keeps it. `hits`: those of the section heading in
// the text, when a pass over it has found them already.
std::optional<records::casscf::CASSCFOutput> parse_casscf(std::string_view text, const core::TextHits* hits = nullptr);

}  // namespace parsers::casscf
