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
    // Whether a held-back failure still points into the lines it was given.
    bool pending() const noexcept { return held_back_ && held_back_->location.pending(); }
    // The held-back failure takes its line from `piece` while it is there (see core::Location::settle).
    void settle(std::string_view piece, size_t first_line) noexcept {
        if (held_back_) held_back_->location.settle(piece, first_line);
    }

private:
    void add_element(const soc_token::Element& token, std::string_view line);
    // Keeps the failure of a number that did not read, with its line and the position of its
    // check; whether it kept one.
    bool hold_back_if_failed(const NumberError& error, std::string_view line, source_location at = source_location::current());

    records::tddft::SOCMatrix matrix_;
    std::optional<core::HeldFailure> held_back_;
};

// Reads the sections headed by one of `headings`, as far as the lines it is given go: the whole
// text at once, or a piece of whole lines at a time. Each
// section is its heading, lines up to the eigenvector heading, the line after that, and the
// eigenvector block up to its empty line. The last section wins.
class SOCSectionsReading {
public:
    // `common`: a text that each of the headings holds once, looked for to find them.
    SOCSectionsReading(std::span<const std::string_view> headings, std::string_view common) noexcept
        : headings_(headings), common_(common) {}
    // Takes lines until they run out; a line of the wrong shape ends the reading (a check failure).
    void read(LineCursor& lines);
    // Whether the next line is read whole: it is a line of an eigenvector block. Any other line is
    // only looked at for a heading, or passed over.
    bool reads_whole_lines() const noexcept { return step_ == Step::Block; }
    // Whether a line was a section heading.
    bool found_section() const noexcept { return found_; }
    // Whether a failure held back still points into the lines it was given; they take their line
    // from `piece` while it is there.
    bool pending() const noexcept { return section_ && section_->pending(); }
    void settle(std::string_view piece, size_t first_line) noexcept {
        if (section_) section_->settle(piece, first_line);
    }
    // At the end of the text: the last section's matrix, none without a section; raises the
    // failure held back in it.
    std::optional<records::tddft::SOCMatrix> finish() &&;

private:
    // What the next line is to the reading.
    enum class Step { Section, Eigenvectors, SkippedLine, Block, SkippedInBlock };

    void end_section();

    std::span<const std::string_view> headings_;
    std::string_view common_;
    Step step_ = Step::Section;
    bool found_ = false;
    std::optional<SOCMatrixAssembler> section_;  // the section being read
    std::optional<records::tddft::SOCMatrix> last_;  // the last section read whole
};

// The SOCMatrix of the text's last section headed by one of `headings`; none when no line is
// one of them. `hits`: as for parse_tddft.
std::optional<records::tddft::SOCMatrix> read_last_section(std::string_view text,
                                                           std::span<const std::string_view> headings,
                                                           const core::TextHits* hits = nullptr);

// Fails as a text without any SOC section does.
[[noreturn]] void fail_without_section();

// Reads the sections headed as the older releases head them; only a text that holds no such
// heading is read again, with the newer releases' framed headings in its place. A failure is
// that of the older reading.
// Takes the text over and frees it before returning.
records::tddft::TDDFTOutput parse_tddft(core::Text text);
// Reads the text where it is; the caller keeps it. `hits`: those of headings::kSOCCommon in
// the text, when a pass over it has found them already.
records::tddft::TDDFTOutput parse_tddft(std::string_view text, const core::TextHits* hits = nullptr);

}  // namespace parsers::tddft
