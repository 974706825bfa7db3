#include "parsers/tddft.hpp"

#include <optional>

#include "core/check.hpp"
#include "parsers/headings.hpp"
#include "parsers/numbers.hpp"

namespace parsers::tddft {
namespace {

using core::expect;
using records::tddft::SOCEigenvector;
using records::tddft::SOCElement;
using records::tddft::SOCMatrix;
using records::tddft::TDDFTOutput;

using headings::kSOCCommon;
using headings::kSOCSection;
constexpr std::string_view kEigenvectorHeading = headings::kSOCEigenvectors;

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
    std::string_view energy = trim(expect(std::move(pieces.second), line));
    return {pieces.first, energy};
}

soc_token::Element tokenize_element(std::string_view line) {
    ColonPieces pieces = split_at_colons(line);
    std::string_view second = expect(std::move(pieces.second), line);
    Fields left(pieces.first);
    soc_token::Element element;
    element.weight = expect(left.next(), line);
    element.real = expect(left.next(), line);
    element.imag = expect(left.next(), line);
    Fields right(second);
    element.root = expect(right.next(), line);
    element.spin = expect(right.next(), line);
    element.ms = expect(right.next(), line);
    return element;
}

}  // namespace

SOCMatrixToken tokenize_soc_line(std::string_view line) {
    if (line.empty()) return soc_token::EmptyLine{};
    std::string_view content = trim_start(line);
    if (content.empty()) core::fail(core::kMissingItem, core::Location::line_of(line));
    // The leading whitespace holds no ':' and no field, so the pieces can start after it.
    switch (content.front()) {
        case 'E': return soc_token::Header{};
        case 'S': return tokenize_state(content);
        default: return tokenize_element(content);
    }
}

void SOCMatrixAssembler::add(const SOCMatrixToken& token, std::string_view line) {
    if (held_back_) return;  // the section fails either way; only its shape is still checked
    if (const auto* state = std::get_if<soc_token::State>(&token)) {
        Parsed<uint32_t> n = parse_u32(trim(remove_state_words(state->state_piece)));
        if (hold_back_if_failed(n.error, line)) return;
        Parsed<float> energy = parse_f32(state->energy);
        if (hold_back_if_failed(energy.error, line)) return;
        matrix_.eigenvectors.push_back(SOCEigenvector{n.value, energy.value, {}});
    } else if (const auto* element = std::get_if<soc_token::Element>(&token)) {
        add_element(*element, line);
    }
}

void SOCMatrixAssembler::add_element(const soc_token::Element& token, std::string_view line) {
    Parsed<float> weight = parse_f32(token.weight);
    Parsed<float> real = parse_f32(token.real);
    Parsed<float> imag = parse_f32(token.imag);
    Parsed<uint8_t> root = parse_u8(token.root);
    Parsed<uint8_t> spin = parse_u8(token.spin);
    Parsed<int8_t> ms = parse_i8(token.ms);
    for (const NumberError& error : {weight.error, real.error, imag.error, root.error, spin.error, ms.error}) {
        if (hold_back_if_failed(error, line)) return;
    }
    // An element before the first state has no eigenvector to belong to.
    if (matrix_.eigenvectors.empty()) return;
    matrix_.eigenvectors.back().elements.push_back(
        SOCElement{weight.value, real.value, imag.value, root.value, spin.value, ms.value});
}

bool SOCMatrixAssembler::hold_back_if_failed(const NumberError& error, std::string_view line, source_location at) {
    if (!error.kind) return false;
    held_back_ = core::HeldFailure{error.message(), core::Location::line_of(line), at};
    return true;
}

SOCMatrix SOCMatrixAssembler::finish() && {
    if (held_back_) held_back_->raise();
    return std::move(matrix_);
}

TDDFTOutput parse_tddft(core::Text text) { return parse_tddft(text.view()); }

void SOCSectionsReading::read(LineCursor& lines) {
    for (;;) {
        switch (step_) {
            case Step::Section:
                if (!lines.next_heading(common_, headings_)) return;
                // A new section wins whatever becomes of it: the last one need not be kept.
                found_ = true;
                last_.reset();
                section_.emplace();
                step_ = Step::Eigenvectors;
                break;
            case Step::Eigenvectors:
                // Before the block only its heading counts; the block starts one line after it.
                if (!lines.next_heading(kEigenvectorHeading)) return;
                step_ = Step::SkippedLine;
                break;
            case Step::SkippedLine:
            case Step::SkippedInBlock:
                if (!lines.next()) return;
                step_ = Step::Block;
                break;
            case Step::Block: {
                std::optional<std::string_view> line = lines.next();
                if (!line) return;
                // The block runs up to its first empty line, which is not kept.
                SOCMatrixToken token = tokenize_soc_line(*line);
                if (std::holds_alternative<soc_token::EmptyLine>(token)) {
                    end_section();
                    break;
                }
                section_->add(token, *line);
                // A heading repeated inside the block is a Header and also skips the line after it.
                if (is_heading(*line, kEigenvectorHeading)) step_ = Step::SkippedInBlock;
                break;
            }
        }
    }
}

void SOCSectionsReading::end_section() {
    SOCMatrixAssembler section = std::move(*section_);
    section_.reset();
    step_ = Step::Section;
    // The last section wins, even an empty one.
    last_ = std::move(section).finish();
}

std::optional<SOCMatrix> SOCSectionsReading::finish() && {
    // The text may end anywhere in a section: what was read of it is the section.
    if (section_) end_section();
    return std::move(last_);
}

std::optional<SOCMatrix> read_last_section(std::string_view text, std::span<const std::string_view> headings,
                                           const core::TextHits* hits) {
    LineCursor lines(text, hits);
    SOCSectionsReading reading(headings, kSOCCommon);
    reading.read(lines);
    return std::move(reading).finish();
}

namespace {

// A text of the newer releases, read with their framed heading in the section heading's place;
// none if it holds no such heading or fails to read that way. Its failures are not reported:
// the failure for want of a section heading stands instead.
std::optional<SOCMatrix> read_framed_sections(std::string_view text, const core::TextHits* hits) {
    core::DeferredReports deferred;
    try {
        return read_last_section(text, headings::kSOCFramed, hits);
    } catch (const core::CheckFailure&) {
        return std::nullopt;
    }
}

}  // namespace

void fail_without_section() { core::fail(core::kMissingItem, core::Location::missing_heading(kSOCSection)); }

TDDFTOutput parse_tddft(std::string_view text, const core::TextHits* hits) {
    return core::locating_failures(text, [&] {
        std::optional<SOCMatrix> current = read_last_section(text, std::span(&kSOCSection, 1), hits);
        // Only a text without any section heading is read the newer releases' way.
        if (!current) current = read_framed_sections(text, hits);
        if (!current) fail_without_section();
        return TDDFTOutput{std::move(*current)};
    });
}

}  // namespace parsers::tddft
