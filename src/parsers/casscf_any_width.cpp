// The composition table read as blocks of any width from 1 to 6 columns: the program writes
// six orbitals per block and a last block of what is left.

#include <array>

#include "parsers/casscf.hpp"
#include "parsers/casscf_lines.hpp"
#include "parsers/numbers.hpp"

namespace parsers::casscf {
namespace {

using records::casscf::Orbital;

constexpr size_t kMostColumns = 6;

// The first fields of a line, up to a limit, and whether more follow.
struct LeadingFields {
    std::array<std::string_view, 3 + kMostColumns> texts;
    size_t count = 0;
    bool more = false;
};

LeadingFields leading_fields(std::string_view line, size_t limit) {
    LeadingFields fields;
    Fields rest(line);
    while (std::optional<std::string_view> field = rest.next()) {
        if (fields.count == limit) {
            fields.more = true;
            break;
        }
        fields.texts[fields.count++] = *field;
    }
    return fields;
}

}  // namespace

bool AnyWidthReader::add(std::string_view line) {
    switch (state_) {
        case State::BetweenBlocks:
            if (line.empty()) return true;
            state_ = State::EnergyRow;
            return read_numbers(line);
        case State::EnergyRow:
            state_ = State::OccupationRow;
            return read_header_values(line, &Orbital::energy);
        case State::OccupationRow:
            state_ = State::Divider;
            return read_header_values(line, &Orbital::occupation);
        case State::Divider:
            state_ = State::Rows;
            return holds_divider_mark(line);
        case State::Rows:
            if (!line.empty()) return read_row(line);
            result_.insert(result_.end(), std::make_move_iterator(block_.begin()), std::make_move_iterator(block_.end()));
            block_.clear();
            state_ = State::BetweenBlocks;
            return true;
    }
    return false;
}

bool AnyWidthReader::read_numbers(std::string_view line) {
    LeadingFields numbers = leading_fields(line, kMostColumns);
    if (holds_divider_mark(line) || numbers.count == 0 || numbers.more) return false;
    for (size_t i = 0; i < numbers.count; ++i) {
        Parsed<uint32_t> orbital_nr = parse_u32(numbers.texts[i]);
        if (orbital_nr.error.kind) return false;
        block_.push_back(Orbital{orbital_nr.value, 0, 0, {}});
    }
    return true;
}

// An energy or occupation row: a value for each column, at most six fields in all.
bool AnyWidthReader::read_header_values(std::string_view line, float Orbital::*value) {
    LeadingFields values = leading_fields(line, kMostColumns);
    if (holds_divider_mark(line) || values.count < block_.size() || values.more) return false;
    for (size_t i = 0; i < block_.size(); ++i) {
        Parsed<float> number = parse_f32(values.texts[i]);
        if (number.error.kind) return false;
        block_[i].*value = number.value;
    }
    return true;
}

// A contribution row: atom number, element, orbital type and a value for each column;
// further fields are ignored.
bool AnyWidthReader::read_row(std::string_view line) {
    LeadingFields row = leading_fields(line, 3 + block_.size());
    if (holds_divider_mark(line) || row.count < 3 + block_.size()) return false;
    Parsed<uint32_t> atom_nr = parse_u32(row.texts[0]);
    if (atom_nr.error.kind) return false;
    for (size_t i = 0; i < block_.size(); ++i) {
        Parsed<float> value = parse_f32(row.texts[3 + i]);
        if (value.error.kind) return false;
        block_[i].contributions.push_back(records::casscf::Contribution{
            atom_nr.value, std::string(row.texts[1]), std::string(row.texts[2]), value.value});
    }
    return true;
}

std::optional<std::vector<Orbital>> AnyWidthReader::finish() && {
    if (state_ != State::BetweenBlocks) return std::nullopt;  // a block still open
    return std::move(result_);
}

std::optional<std::vector<Orbital>> read_kept_lines_of_any_width(std::string_view kept) {
    AnyWidthReader reader;
    for (size_t end = kept.find('\n'); end != std::string_view::npos; end = kept.find('\n')) {
        if (!reader.add(kept.substr(0, end))) return std::nullopt;
        kept.remove_prefix(end + 1);
    }
    return std::move(reader).finish();
}

std::optional<std::vector<Orbital>> read_blocks_of_any_width(LineCursor lines) {
    AnyWidthReader reader;
    TableLines table;
    while (std::optional<std::string_view> line = table.next(lines)) {
        if (starts_with_section_rule(*line)) break;
        if (!reader.add(*line)) return std::nullopt;
    }
    return std::move(reader).finish();
}

}  // namespace parsers::casscf
