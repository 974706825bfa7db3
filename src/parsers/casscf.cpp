#include "parsers/casscf.hpp"

#include "core/check.hpp"
#include "core/debug_text.hpp"
#include "parsers/casscf_lines.hpp"
#include "parsers/headings.hpp"
#include "parsers/numbers.hpp"

namespace parsers::casscf {
namespace {

using core::expect;
using core::fail;
using records::casscf::CASSCFOutput;
using records::casscf::Orbital;

constexpr std::string_view kCompositionHeading = headings::kComposition;

// Counts fields without copying, stopping once the count can no longer make a header.
size_t count_fields_up_to_seven(std::string_view line) {
    Fields fields(line);
    size_t count = 0;
    while (count < 7 && fields.next()) ++count;
    return count;
}

token::TableHeader tokenize_header(std::string_view line) {
    token::TableHeader header;
    Fields fields(line);
    while (std::optional<std::string_view> field = fields.next()) header.texts.emplace_back(*field);
    return header;
}

token::Contribution tokenize_contribution(std::string_view line) {
    Fields fields(line);
    token::Contribution row;
    row.atom_nr = expect(fields.next(), line);
    row.element = expect(fields.next(), line);
    row.orbital_type = expect(fields.next(), line);
    while (std::optional<std::string_view> field = fields.next()) row.values.emplace_back(*field);
    return row;
}

void append_text_list(std::string& out, const std::vector<std::string_view>& texts) {
    out += '[';
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out += ", ";
        core::append_quoted(out, texts[i]);
    }
    out += ']';
}

std::optional<std::string_view> text_at(const std::vector<std::string_view>& texts, size_t i) {
    if (i < texts.size()) return texts[i];
    return std::nullopt;
}

// How a token is written into messages, e.g. TableHeader(["1", "2", "3", "4", "5"]).
std::string text_form(const Token& token) {
    struct Writer {
        std::string operator()(const token::TableHeader& header) const {
            std::string out = "TableHeader(";
            append_text_list(out, header.texts);
            return out + ")";
        }
        std::string operator()(const token::Contribution& row) const {
            std::string out = "Contribution(";
            for (std::string_view text : {row.atom_nr, row.element, row.orbital_type}) {
                core::append_quoted(out, text);
                out += ", ";
            }
            append_text_list(out, row.values);
            return out + ")";
        }
        std::string operator()(token::TableDivider) const { return "TableDivider"; }
        std::string operator()(token::EmptyLine) const { return "EmptyLine"; }
        std::string operator()(token::SectionDivider) const { return "SectionDivider"; }
    };
    return std::visit(Writer{}, token);
}

}  // namespace

Token tokenize_composition_line(std::string_view line) {
    if (line.empty()) return token::EmptyLine{};
    if (starts_with_section_rule(line)) return token::SectionDivider{};
    if (holds_divider_mark(line)) return token::TableDivider{};
    size_t fields = count_fields_up_to_seven(line);
    if (fields == 5 || fields == 6) return tokenize_header(line);
    return tokenize_contribution(line);
}

std::optional<std::string_view> TableLines::next() noexcept {
    if (ended_) return std::nullopt;
    std::optional<std::string_view> line = lines_.next();
    if (!line) return std::nullopt;
    if (starts_with_section_rule(*line)) {
        ended_ = true;
    } else if (is_heading(*line, kUnderline)) {
        lines_.next();
    }
    return line;
}

bool skip_to_table(LineCursor& lines) noexcept {
    // Before the table only the underline counts; the table starts one line after it.
    if (!lines.next_heading(kUnderline)) return false;
    lines.next();
    return true;
}

void scan_composition_section(TableLines lines, OrbitalAssembler& assembler) {
    while (std::optional<std::string_view> line = lines.next()) assembler.add(tokenize_composition_line(*line), *line);
}

void OrbitalAssembler::add(Token token, std::string_view line) {
    if (held_back_) return;  // the section fails either way; only its lines are still read
    switch (state_) {
        case State::BetweenBlocks:
            if (auto* numbers = std::get_if<token::TableHeader>(&token)) {
                numbers_ = std::move(*numbers);
                number_line_ = line;
                state_ = State::EnergyRow;
            } else if (std::holds_alternative<token::Contribution>(token)) {
                hold_back("Encountered Contribution", line);
            } else if (std::holds_alternative<token::TableDivider>(token)) {
                hold_back("Encountered Divider", line);
            } else if (std::holds_alternative<token::SectionDivider>(token)) {
                state_ = State::Ended;
            }
            return;
        case State::EnergyRow:
            // A row of another kind is taken all the same and the block gets no orbitals.
            if (auto* energies = std::get_if<token::TableHeader>(&token)) {
                energies_ = std::move(*energies);
                energy_line_ = line;
                state_ = State::OccupationRow;
            } else {
                skip_orbitals(token, line);
                state_ = State::Divider;
            }
            return;
        case State::OccupationRow:
            if (auto* occupations = std::get_if<token::TableHeader>(&token)) {
                make_orbitals(*occupations, line);
            } else {
                skip_orbitals(token, line);
            }
            state_ = State::Divider;
            return;
        case State::Divider:
            if (!std::holds_alternative<token::TableDivider>(token)) hold_back("Table divider expected", line);
            state_ = State::Rows;
            return;
        case State::Rows:
            if (auto* row = std::get_if<token::Contribution>(&token)) {
                add_row(*row, line);
            } else if (std::holds_alternative<token::EmptyLine>(token)) {
                result_.insert(result_.end(), std::make_move_iterator(block_.begin()),
                               std::make_move_iterator(block_.end()));
                block_.clear();
                state_ = State::BetweenBlocks;
            } else {
                hold_back("Unexpected token Some(" + text_form(token) + ")", line);
            }
            return;
        case State::Ended:
            return;
    }
}

// Each failure names the row that its text stands on.
void OrbitalAssembler::make_orbitals(const token::TableHeader& occupations, std::string_view occupation_line) {
    for (size_t i = 0; i < numbers_.texts.size(); ++i) {
        Parsed<uint32_t> orbital_nr = parse_u32(numbers_.texts[i]);
        if (hold_back_if_failed(orbital_nr.error, number_line_)) return;
        std::optional<std::string_view> energy_text = text_at(energies_.texts, i);
        if (!energy_text) return hold_back(core::kMissingItem, energy_line_);
        Parsed<float> energy = parse_f32(*energy_text);
        if (hold_back_if_failed(energy.error, energy_line_)) return;
        std::optional<std::string_view> occupation_text = text_at(occupations.texts, i);
        if (!occupation_text) return hold_back(core::kMissingItem, occupation_line);
        Parsed<float> occupation = parse_f32(*occupation_text);
        if (hold_back_if_failed(occupation.error, occupation_line)) return;
        block_.push_back(Orbital{orbital_nr.value, energy.value, occupation.value, {}});
    }
}

void OrbitalAssembler::add_row(const token::Contribution& row, std::string_view line) {
    for (size_t k = 0; k < block_.size(); ++k) {
        // The atom number is read for every orbital, as each contribution holds its own.
        Parsed<uint32_t> atom_nr = parse_u32(row.atom_nr);
        if (hold_back_if_failed(atom_nr.error, line)) return;
        std::optional<std::string_view> value_text = text_at(row.values, k);
        if (!value_text) return hold_back(core::kMissingItem, line);
        Parsed<float> value = parse_f32(*value_text);
        if (hold_back_if_failed(value.error, line)) return;
        block_[k].contributions.push_back(records::casscf::Contribution{
            atom_nr.value, std::string(row.element), std::string(row.orbital_type), value.value});
    }
}

void OrbitalAssembler::skip_orbitals(const Token& token, std::string_view line) {
    ++blocks_without_orbitals_;
    // A section rule taken as a header row ends the tokens inside a block: a failure for want
    // of more tokens stands there, not at the end of the input.
    if (std::holds_alternative<token::SectionDivider>(token)) section_rule_line_ = line;
}

bool OrbitalAssembler::hold_back_if_failed(const NumberError& error, std::string_view line, source_location at) {
    if (!error.kind) return false;
    hold_back(error.message(), line, at);
    return true;
}

void OrbitalAssembler::hold_back(std::string message, std::string_view line, source_location at) {
    held_back_ = core::HeldFailure{std::move(message), core::Location::line_of(line), at};
}

std::vector<Orbital> OrbitalAssembler::finish() && {
    if (held_back_) held_back_->raise();
    // The tokens ran out inside a block: at the end of the input, or at a section rule taken as a header row.
    core::Location end = section_rule_line_ ? core::Location::line_of(*section_rule_line_) : core::Location::end_of_input();
    switch (state_) {
        case State::EnergyRow:
        case State::OccupationRow:
        case State::Divider:
            fail("Table divider expected", end);
        case State::Rows:
            fail("Unexpected token None", end);
        case State::BetweenBlocks:
        case State::Ended:
            break;
    }
    return std::move(result_);
}

std::optional<CASSCFOutput> parse_casscf(core::Text text) { return parse_casscf(text.view()); }

namespace {

// Reads blocks of five or six columns, and only where that fails, blocks of any width: the
// program writes a last block of whatever is left. The failure of the first reading stands
// when the second fails too; it is reported only then.
std::vector<Orbital> read_table(TableLines lines) {
    std::optional<core::CheckFailure> failure;
    {
        core::DeferredReports deferred;
        try {
            OrbitalAssembler assembler;
            scan_composition_section(lines, assembler);
            return std::move(assembler).finish();
        } catch (core::CheckFailure& caught) {
            failure.emplace(std::move(caught));
        }
    }
    if (std::optional<std::vector<Orbital>> orbitals = read_blocks_of_any_width(lines)) return std::move(*orbitals);
    failure->report();
    throw std::move(*failure);
}

}  // namespace

std::optional<CASSCFOutput> parse_casscf(std::string_view text, const core::TextHits* hits) {
    return core::locating_failures(text, [&]() -> std::optional<CASSCFOutput> {
        LineCursor lines(text, hits);
        if (!lines.next_heading(kCompositionHeading)) return std::nullopt;
        if (!skip_to_table(lines)) return CASSCFOutput{};
        return CASSCFOutput{read_table(TableLines(lines))};
    });
}

}  // namespace parsers::casscf
