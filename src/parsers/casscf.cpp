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

std::optional<std::string_view> TableLines::next(LineCursor& lines) noexcept {
    while (!ended_) {
        std::optional<std::string_view> line = lines.next();
        if (!line) return std::nullopt;
        if (skip_next_) {
            skip_next_ = false;
            continue;
        }
        if (starts_with_section_rule(*line)) {
            ended_ = true;
        } else if (is_heading(*line, kUnderline)) {
            skip_next_ = true;
        }
        return line;
    }
    return std::nullopt;
}

bool skip_to_table(LineCursor& lines) noexcept {
    // Before the table only the underline counts; the table starts one line after it.
    if (!lines.next_heading(kUnderline)) return false;
    lines.next();
    return true;
}

void scan_composition_section(LineCursor lines, OrbitalAssembler& assembler) {
    TableLines table;
    while (std::optional<std::string_view> line = table.next(lines)) assembler.add(tokenize_composition_line(*line), *line);
}

void OrbitalAssembler::add(Token token, std::string_view line) {
    if (held_back_) return;  // the section fails either way; only its lines are still read
    switch (state_) {
        case State::BetweenBlocks:
            if (auto* numbers = std::get_if<token::TableHeader>(&token)) {
                numbers_.assign(numbers->texts.begin(), numbers->texts.end());
                number_line_ = core::Location::line_of(line);
                state_ = State::EnergyRow;
            } else if (std::holds_alternative<token::Contribution>(token)) {
                hold_back("Encountered Contribution", core::Location::line_of(line));
            } else if (std::holds_alternative<token::TableDivider>(token)) {
                hold_back("Encountered Divider", core::Location::line_of(line));
            } else if (std::holds_alternative<token::SectionDivider>(token)) {
                state_ = State::Ended;
            }
            return;
        case State::EnergyRow:
            // A row of another kind is taken all the same and the block gets no orbitals.
            if (auto* energies = std::get_if<token::TableHeader>(&token)) {
                energies_.assign(energies->texts.begin(), energies->texts.end());
                energy_line_ = core::Location::line_of(line);
                state_ = State::OccupationRow;
            } else {
                skip_orbitals(token, line);
                number_line_ = core::Location();
                state_ = State::Divider;
            }
            return;
        case State::OccupationRow:
            if (auto* occupations = std::get_if<token::TableHeader>(&token)) {
                make_orbitals(*occupations, line);
            } else {
                skip_orbitals(token, line);
            }
            // Only the orbitals' failures name the number and energy rows: their places go.
            number_line_ = energy_line_ = core::Location();
            state_ = State::Divider;
            return;
        case State::Divider:
            if (!std::holds_alternative<token::TableDivider>(token)) {
                hold_back("Table divider expected", core::Location::line_of(line));
            }
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
                hold_back("Unexpected token Some(" + text_form(token) + ")", core::Location::line_of(line));
            }
            return;
        case State::Ended:
            return;
    }
}

// Each failure names the row that its text stands on.
void OrbitalAssembler::make_orbitals(const token::TableHeader& occupations, std::string_view occupation_line) {
    core::Location occupation_place = core::Location::line_of(occupation_line);
    for (size_t i = 0; i < numbers_.size(); ++i) {
        Parsed<uint32_t> orbital_nr = parse_u32(numbers_[i]);
        if (hold_back_if_failed(orbital_nr.error, number_line_)) return;
        if (i >= energies_.size()) return hold_back(core::kMissingItem, energy_line_);
        Parsed<float> energy = parse_f32(energies_[i]);
        if (hold_back_if_failed(energy.error, energy_line_)) return;
        std::optional<std::string_view> occupation_text = text_at(occupations.texts, i);
        if (!occupation_text) return hold_back(core::kMissingItem, occupation_place);
        Parsed<float> occupation = parse_f32(*occupation_text);
        if (hold_back_if_failed(occupation.error, occupation_place)) return;
        block_.push_back(Orbital{orbital_nr.value, energy.value, occupation.value, {}});
    }
}

void OrbitalAssembler::add_row(const token::Contribution& row, std::string_view line) {
    for (size_t k = 0; k < block_.size(); ++k) {
        // The atom number is read for every orbital, as each contribution holds its own.
        Parsed<uint32_t> atom_nr = parse_u32(row.atom_nr);
        if (hold_back_if_failed(atom_nr.error, core::Location::line_of(line))) return;
        std::optional<std::string_view> value_text = text_at(row.values, k);
        if (!value_text) return hold_back(core::kMissingItem, core::Location::line_of(line));
        Parsed<float> value = parse_f32(*value_text);
        if (hold_back_if_failed(value.error, core::Location::line_of(line))) return;
        block_[k].contributions.push_back(records::casscf::Contribution{
            atom_nr.value, std::string(row.element), std::string(row.orbital_type), value.value});
    }
}

void OrbitalAssembler::skip_orbitals(const Token& token, std::string_view line) {
    ++blocks_without_orbitals_;
    // A section rule taken as a header row ends the tokens inside a block: a failure for want
    // of more tokens stands there, not at the end of the input.
    if (std::holds_alternative<token::SectionDivider>(token)) section_rule_line_ = core::Location::line_of(line);
}

bool OrbitalAssembler::hold_back_if_failed(const NumberError& error, const core::Location& line, source_location at) {
    if (!error.kind) return false;
    hold_back(error.message(), line, at);
    return true;
}

void OrbitalAssembler::hold_back(std::string message, const core::Location& line, source_location at) {
    held_back_ = core::HeldFailure{std::move(message), line, at};
}

bool OrbitalAssembler::pending() const noexcept {
    return number_line_.pending() || energy_line_.pending() || (section_rule_line_ && section_rule_line_->pending()) ||
           (held_back_ && held_back_->location.pending());
}

void OrbitalAssembler::settle(std::string_view piece, size_t first_line) noexcept {
    number_line_.settle(piece, first_line);
    energy_line_.settle(piece, first_line);
    if (section_rule_line_) section_rule_line_->settle(piece, first_line);
    if (held_back_) held_back_->location.settle(piece, first_line);
}

std::vector<Orbital> OrbitalAssembler::finish() && {
    if (held_back_) held_back_->raise();
    // The tokens ran out inside a block: at the end of the input, or at a section rule taken as a header row.
    core::Location end = section_rule_line_ ? *section_rule_line_ : core::Location::end_of_input();
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

void CompositionReading::read(LineCursor& lines) {
    for (;;) {
        switch (step_) {
            case Step::Heading:
                if (!lines.next_heading(common_, std::span(&kCompositionHeading, 1))) return;
                step_ = Step::Underline;
                break;
            case Step::Underline:
                // Before the table only the underline counts; the table starts one line after it.
                if (!lines.next_heading(kUnderline)) return;
                step_ = Step::SkippedLine;
                break;
            case Step::SkippedLine:
                if (!lines.next()) return;
                step_ = Step::Table;
                if (!keeps_lines_) table_start_ = lines;
                break;
            case Step::Table: {
                std::optional<std::string_view> line = table_.next(lines);
                if (!line) {
                    if (table_.ended()) step_ = Step::Ended;
                    return;
                }
                add_table_line(*line);
                break;
            }
            case Step::Ended:
                return;
        }
    }
}

void CompositionReading::add_table_line(std::string_view line) {
    if (!failure_) {
        // A failure of this reading is told only where the other reading fails too.
        core::DeferredReports deferred;
        try {
            assembler_.add(tokenize_composition_line(line), line);
        } catch (core::CheckFailure& caught) {
            failure_.emplace(std::move(caught));
        }
    }
    // The section rule is no line of the table of any width.
    if (keeps_lines_) {
        if (!starts_with_section_rule(line)) kept_lines_.append(line).push_back('\n');
    } else if (failure_) {
        step_ = Step::Ended;  // the table is read again where it starts
    }
}

void CompositionReading::settle(std::string_view piece, size_t first_line) noexcept {
    assembler_.settle(piece, first_line);
    if (failure_) failure_->location().settle(piece, first_line);
}

std::optional<CASSCFOutput> CompositionReading::finish() && {
    if (step_ == Step::Heading) return std::nullopt;
    if (step_ == Step::Underline || step_ == Step::SkippedLine) return CASSCFOutput{};
    if (!failure_) {
        core::DeferredReports deferred;
        try {
            return CASSCFOutput{std::move(assembler_).finish()};
        } catch (core::CheckFailure& caught) {
            failure_.emplace(std::move(caught));
        }
    }
    // Blocks of five or six columns do not read the table: blocks of any width may.
    std::optional<std::vector<Orbital>> orbitals =
        table_start_ ? read_blocks_of_any_width(*table_start_) : read_kept_lines_of_any_width(kept_lines_);
    if (orbitals) return CASSCFOutput{std::move(*orbitals)};
    failure_->report();
    throw std::move(*failure_);
}

std::optional<CASSCFOutput> parse_casscf(std::string_view text, const core::TextHits* hits) {
    return core::locating_failures(text, [&]() -> std::optional<CASSCFOutput> {
        LineCursor lines(text, hits);
        CompositionReading reading(false, kCompositionHeading);
        reading.read(lines);
        return std::move(reading).finish();
    });
}

}  // namespace parsers::casscf
