#include "fuzz/reference/tddft.hpp"

#include <optional>

#include "binding/check.hpp"
#include "fuzz/reference/numbers.hpp"

namespace reference::tddft {
namespace {

using binding::expect;
using reference_records::tddft::SOCEigenvector;
using reference_records::tddft::SOCElement;
using reference_records::tddft::SOCMatrix;
using reference_records::tddft::TDDFTOutput;

constexpr std::string_view kSectionHeading = "SKAV SPIN-ORBIT COUPLING CALCULATION";
constexpr std::string_view kEigenvectorHeading = "Eigenvectors of the SOC matrix:";

// Every "STATE" goes, in one left-to-right pass, so "STASTATETE" leaves "STATE".
std::string remove_state_words(std::string_view piece) {
    constexpr std::string_view kWord = "STATE";
    std::string out;
    for (size_t at = piece.find(kWord); at != std::string_view::npos; at = piece.find(kWord)) {
        out.append(piece.substr(0, at));
        piece.remove_prefix(at + kWord.size());
    }
    out.append(piece);
    return out;
}

soc_token::State tokenize_state(std::string_view line) {
    ColonPieces pieces = split_at_colons(line);
    std::string_view energy = trim(expect(std::move(pieces.second)));
    return {std::string(trim(remove_state_words(pieces.first))), std::string(energy)};
}

soc_token::Element tokenize_element(std::string_view line) {
    ColonPieces pieces = split_at_colons(line);
    std::string_view second = expect(std::move(pieces.second));
    Fields left(pieces.first);
    soc_token::Element element;
    element.weight = expect(left.next());
    element.real = expect(left.next());
    element.imag = expect(left.next());
    Fields right(second);
    element.root = expect(right.next());
    element.spin = expect(right.next());
    element.ms = expect(right.next());
    return element;
}

void append_element(SOCMatrix& matrix, const soc_token::Element& token) {
    SOCElement element{
        read_f32(token.weight), read_f32(token.real), read_f32(token.imag),
        read_u8(token.root),    read_u8(token.spin),  read_i8(token.ms),
    };
    // An element before the first state has no eigenvector to belong to.
    if (!matrix.eigenvectors.empty()) matrix.eigenvectors.back().elements.push_back(element);
}

}  // namespace

SOCMatrixToken tokenize_soc_line(std::string_view line) {
    if (line.empty()) return soc_token::EmptyLine{};
    std::string_view content = trim_start(line);
    if (content.empty()) binding::fail(binding::kMissingItem);
    switch (content.front()) {
        case 'E': return soc_token::Header{};
        case 'S': return tokenize_state(line);
        default: return tokenize_element(line);
    }
}

std::vector<SOCMatrixToken> scan_soc_section(LineCursor& lines) {
    enum class State { BeforeBlock, InBlock };
    State state = State::BeforeBlock;
    std::vector<SOCMatrixToken> tokens;
    while (std::optional<std::string_view> line = lines.next()) {
        if (state == State::InBlock) {
            // The block runs up to its first empty line, which is not kept.
            SOCMatrixToken token = tokenize_soc_line(*line);
            if (std::holds_alternative<soc_token::EmptyLine>(token)) return tokens;
            tokens.push_back(std::move(token));
        }
        // The table starts one line after its heading, also when the heading repeats inside it.
        if (is_heading(*line, kEigenvectorHeading)) {
            if (!lines.next()) return tokens;
            state = State::InBlock;
        }
    }
    return tokens;
}

SOCMatrix assemble_soc_matrix(const std::vector<SOCMatrixToken>& tokens) {
    SOCMatrix matrix;
    for (const SOCMatrixToken& token : tokens) {
        if (const auto* state = std::get_if<soc_token::State>(&token)) {
            uint32_t n = read_u32(state->state);
            float energy = read_f32(state->energy);
            matrix.eigenvectors.push_back(SOCEigenvector{n, energy, {}});
        } else if (const auto* element = std::get_if<soc_token::Element>(&token)) {
            append_element(matrix, *element);
        }
    }
    return matrix;
}

TDDFTOutput parse_tddft(std::string text) {
    LineCursor lines(text);
    std::optional<SOCMatrix> current;
    while (std::optional<std::string_view> line = lines.next()) {
        if (!is_heading(*line, kSectionHeading)) continue;
        std::vector<SOCMatrixToken> tokens = scan_soc_section(lines);
        // The last section wins, even an empty one.
        current = assemble_soc_matrix(tokens);
    }
    return TDDFTOutput{expect(std::move(current))};
}

}  // namespace reference::tddft
