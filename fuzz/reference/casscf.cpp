#include "fuzz/reference/casscf.hpp"

#include "binding/check.hpp"
#include "binding/debug_text.hpp"
#include "fuzz/reference/numbers.hpp"

namespace reference::casscf {
namespace {

using binding::expect;
using binding::fail;
using reference_records::casscf::CASSCFOutput;
using reference_records::casscf::Orbital;

constexpr std::string_view kCompositionHeading = "LOEWDIN ORBITAL-COMPOSITIONS";
constexpr std::string_view kUnderline = "----------------------------";  // 28 hyphens
constexpr std::string_view kDividerMark = "--------";

bool starts_with_section_rule(std::string_view line) { return line.starts_with(kUnderline); }

bool holds_divider_mark(std::string_view line) { return line.find(kDividerMark) != std::string_view::npos; }

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
    row.atom_nr = expect(fields.next());
    row.element = expect(fields.next());
    row.orbital_type = expect(fields.next());
    while (std::optional<std::string_view> field = fields.next()) row.values.emplace_back(*field);
    return row;
}

void append_text_list(std::string& out, const std::vector<std::string>& texts) {
    out += '[';
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out += ", ";
        binding::append_quoted(out, texts[i]);
    }
    out += ']';
}

std::optional<std::string_view> text_at(const std::vector<std::string>& texts, size_t i) {
    if (i < texts.size()) return texts[i];
    return std::nullopt;
}

// Reads tokens front to back; a token taken is gone, whatever it turns out to be.
class TokenCursor {
public:
    explicit TokenCursor(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}
    Token* next() { return at_ < tokens_.size() ? &tokens_[at_++] : nullptr; }

private:
    std::vector<Token> tokens_;
    size_t at_ = 0;
};

// The header rows after the number row; no orbitals when either is not a header row.
std::vector<Orbital> read_header_rows(const token::TableHeader& numbers, TokenCursor& tokens) {
    Token* energies = tokens.next();
    if (!energies || !std::holds_alternative<token::TableHeader>(*energies)) return {};
    Token* occupations = tokens.next();
    if (!occupations || !std::holds_alternative<token::TableHeader>(*occupations)) return {};
    const auto& energy_texts = std::get<token::TableHeader>(*energies).texts;
    const auto& occupation_texts = std::get<token::TableHeader>(*occupations).texts;
    std::vector<Orbital> orbitals;
    orbitals.reserve(numbers.texts.size());
    for (size_t i = 0; i < numbers.texts.size(); ++i) {
        Orbital orbital{};
        orbital.orbital_nr = read_u32(numbers.texts[i]);
        orbital.energy = read_f32(expect(text_at(energy_texts, i)));
        orbital.occupation = read_f32(expect(text_at(occupation_texts, i)));
        orbitals.push_back(std::move(orbital));
    }
    return orbitals;
}

void add_contribution_row(std::vector<Orbital>& orbitals, const token::Contribution& row) {
    for (size_t k = 0; k < orbitals.size(); ++k) {
        reference_records::casscf::Contribution contribution;
        contribution.atom_nr = read_u32(row.atom_nr);
        contribution.element = row.element;
        contribution.orbital_type = row.orbital_type;
        contribution.contribution = read_f32(expect(text_at(row.values, k)));
        orbitals[k].contributions.push_back(std::move(contribution));
    }
}

// One column block, from its number row to the empty line that closes it.
std::vector<Orbital> read_column_block(const token::TableHeader& numbers, TokenCursor& tokens) {
    std::vector<Orbital> orbitals = read_header_rows(numbers, tokens);
    Token* divider = tokens.next();
    if (!divider || !std::holds_alternative<token::TableDivider>(*divider)) fail("Table divider expected");
    for (;;) {
        Token* token = tokens.next();
        if (!token) fail("Unexpected token None");
        if (const auto* row = std::get_if<token::Contribution>(token)) {
            add_contribution_row(orbitals, *row);
        } else if (std::holds_alternative<token::EmptyLine>(*token)) {
            return orbitals;
        } else {
            fail("Unexpected token Some(" + text_form(*token) + ")");
        }
    }
}

}  // namespace

std::string text_form(const Token& token) {
    struct Writer {
        std::string operator()(const token::TableHeader& header) const {
            std::string out = "TableHeader(";
            append_text_list(out, header.texts);
            return out + ")";
        }
        std::string operator()(const token::Contribution& row) const {
            std::string out = "Contribution(";
            for (const std::string* text : {&row.atom_nr, &row.element, &row.orbital_type}) {
                binding::append_quoted(out, *text);
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

Token tokenize_composition_line(std::string_view line) {
    if (line.empty()) return token::EmptyLine{};
    if (starts_with_section_rule(line)) return token::SectionDivider{};
    if (holds_divider_mark(line)) return token::TableDivider{};
    size_t fields = count_fields_up_to_seven(line);
    if (fields == 5 || fields == 6) return tokenize_header(line);
    return tokenize_contribution(line);
}

std::vector<Token> scan_composition_section(LineCursor& lines) {
    enum class State { BeforeTable, InTable };
    State state = State::BeforeTable;
    std::vector<Token> tokens;
    while (std::optional<std::string_view> line = lines.next()) {
        if (state == State::InTable) {
            tokens.push_back(tokenize_composition_line(*line));
            if (std::holds_alternative<token::SectionDivider>(tokens.back())) return tokens;
        }
        // The table starts one line after the underline, also when an underline repeats inside it.
        if (is_heading(*line, kUnderline)) {
            lines.next();
            state = State::InTable;
        }
    }
    return tokens;
}

std::vector<Orbital> assemble_orbitals(std::vector<Token> tokens) {
    TokenCursor cursor(std::move(tokens));
    std::vector<Orbital> result;
    while (Token* token = cursor.next()) {
        if (const auto* numbers = std::get_if<token::TableHeader>(token)) {
            std::vector<Orbital> block = read_column_block(*numbers, cursor);
            result.insert(result.end(), std::make_move_iterator(block.begin()), std::make_move_iterator(block.end()));
        } else if (std::holds_alternative<token::Contribution>(*token)) {
            fail("Encountered Contribution");
        } else if (std::holds_alternative<token::TableDivider>(*token)) {
            fail("Encountered Divider");
        } else if (std::holds_alternative<token::SectionDivider>(*token)) {
            break;
        }
    }
    return result;
}

std::optional<CASSCFOutput> parse_casscf(std::string text) {
    LineCursor lines(text);
    while (std::optional<std::string_view> line = lines.next()) {
        if (is_heading(*line, kCompositionHeading)) {
            std::vector<Token> tokens = scan_composition_section(lines);
            return CASSCFOutput{assemble_orbitals(std::move(tokens))};
        }
    }
    return std::nullopt;
}

}  // namespace reference::casscf
