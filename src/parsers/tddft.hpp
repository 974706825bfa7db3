#pragma once
// The TD-DFT spin-orbit-coupling parser: finds every SOC section, the last one wins.

#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "core/check.hpp"
#include "core/text.hpp"
#include "records/tddft.hpp"
#include "parsers/lines.hpp"
#include "parsers/numbers.hpp"

namespace parsers::tddft {

// Token texts are views into the input text, which outlives the tokens of every section.
namespace soc_token {
struct Header {};
struct State {
    std::string_view state_piece;  // the text before the first ':', "STATE" words still in it
    std::string_view energy;
};
struct Element {
    std::string_view weight, real, imag, root, spin, ms;
};
struct EmptyLine {};
}  // namespace soc_token

using SOCMatrixToken = std::variant<soc_token::Header, soc_token::State, soc_token::Element, soc_token::EmptyLine>;

SOCMatrixToken tokenize_soc_line(std::string_view line);

// Builds a section's SOCMatrix from its tokens as the scanner makes them. A bad number does
// not end the call at once: a line of the wrong shape anywhere in the section is reported
// before it, so the first bad number is held back until the section has been scanned.
class SOCMatrixAssembler {
public:
    // `line` is the line the token was made from.
    void add(const SOCMatrixToken& token, std::string_view line);
    // The section's matrix; raises the held-back number failure, if there is one.
    records::tddft::SOCMatrix finish() &&;

private:
    void add_element(const soc_token::Element& token, std::string_view line);
    // Keeps the failure of a number that did not read, with its line and the position of its
    // check; whether it kept one.
    bool hold_back_if_failed(const NumberError& error, std::string_view line, source_location at = source_location::current());

    records::tddft::SOCMatrix matrix_;
    std::optional<core::HeldFailure> held_back_;
};

// Feeds the tokens of one section's eigenvector block to `assembler`; consumes the empty
// line that ends the block.
void scan_soc_section(LineCursor& lines, SOCMatrixAssembler& assembler);

// The SOCMatrix of the text's last section headed by one of `headings`, each holding
// headings::kSOCCommon; none when no line is one of them. `hits`: as for parse_tddft.
std::optional<records::tddft::SOCMatrix> read_last_section(std::string_view text,
                                                           std::span<const std::string_view> headings,
                                                           const core::TextHits* hits = nullptr);

// Reads the sections headed as the older releases head them; only a text that holds no such
// heading is read again, with the newer releases' framed headings in its place. A failure is
// that of the older reading.
// Takes the text over and frees it before returning.
records::tddft::TDDFTOutput parse_tddft(core::Text text);
// Reads the text where it is; the caller keeps it. `hits`: those of headings::kSOCCommon in
// the text, when a pass over it has found them already.
records::tddft::TDDFTOutput parse_tddft(std::string_view text, const core::TextHits* hits = nullptr);

}  // namespace parsers::tddft
