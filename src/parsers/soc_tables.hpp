#pragma once
// The tables of a TD-DFT output's SOC part beside its eigenvectors: the couplings between
// triplets and singlets, and the SOC-corrected spectra. Each is read a piece of whole lines at a
// time, the last occurrence wins, and a row that does not read fails the reading with a check
// failure whose message names the table and whose place is the row's line.

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "parsers/lines.hpp"
#include "records/soc_tables.hpp"

namespace parsers::tddft {

inline constexpr std::string_view kCouplingsTable = "soc_couplings";
inline constexpr std::string_view kTransitionsTable = "soc_transitions";

// The couplings in their Z/X/Y form: the table under kSOCCouplings whose second header line
// names T S Z X Y (not the spherical one that may follow), up to a blank line or a rule.
class SOCCouplingsReading {
public:
    void read(LineCursor& lines);
    bool reads_whole_lines() const noexcept { return step_ != Step::Seek; }
    // At the end of the text: the last table, empty without one.
    std::vector<records::tddft::SOCCoupling> finish() &&;

private:
    enum class Step { Seek, Frame, Root, Header, Rule, Rows };
    void end_table();

    Step step_ = Step::Seek;
    std::vector<records::tddft::SOCCoupling> table_, last_;
};

// The spectra that follow a title of kSpectraTitles, in either layout: the later one names both
// states as state-multiplicity labels and gives the energy in eV too, the earlier one numbers
// them. The earlier releases print the four again with complex components (headed "State"):
// those are passed over.
class SOCSpectraReading {
public:
    void read(LineCursor& lines);
    bool reads_whole_lines() const noexcept { return step_ != Step::Seek; }
    // At the end of the text: the last spectrum of each kind, in the order of the kinds.
    std::vector<records::tddft::SOCTransition> finish() &&;

private:
    enum class Step { Seek, Header, Units, Rule, Rows };
    void end_table();

    Step step_ = Step::Seek;
    bool titled_ = false;  // a title has come: spectrum headings are read from now on
    records::tddft::SpectrumKind kind_{};
    bool later_ = false;  // the layout of the table being read
    std::vector<records::tddft::SOCTransition> table_;
    std::array<std::optional<std::vector<records::tddft::SOCTransition>>, 4> last_;
};

// A couplings row read by its places, as the program prints it (none for any other row), and read
// by its words (any row; a check failure where it does not read): the reading takes the first
// where it gives one, so the two must agree wherever it does.
std::optional<records::tddft::SOCCoupling> printed_coupling_of(std::string_view line);
records::tddft::SOCCoupling coupling_by_words(std::string_view line);

// The same over a whole text, for references.
std::vector<records::tddft::SOCCoupling> read_soc_couplings(std::string_view text);
std::vector<records::tddft::SOCTransition> read_soc_spectra(std::string_view text);

}  // namespace parsers::tddft
