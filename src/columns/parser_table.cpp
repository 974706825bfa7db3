#include "columns/parser_table.hpp"

#include <span>
#include <utility>

#include "core/check.hpp"
#include "parsers/casscf.hpp"
#include "parsers/headings.hpp"
#include "parsers/soc_tables.hpp"
#include "parsers/tddft.hpp"

namespace columns {
namespace {

namespace headings = parsers::headings;

// The sections headed as the older releases head them, and beside them those headed as the newer
// ones do: only a file without any of the first is read the second way, as the module reads it.
class TDDFTReading final : public ParserReading {
public:
    void read(parsers::LineCursor& lines) override {
        if (framed_in_use()) {
            parsers::LineCursor same = lines;
            core::DeferredReports deferred;  // a failure of this reading is never told
            try {
                framed_.read(same);
            } catch (const core::CheckFailure&) {
                framed_failed_ = true;
            }
        }
        older_.read(lines);
    }
    bool reads_whole_lines() const noexcept override {
        return older_.reads_whole_lines() || (framed_in_use() && framed_.reads_whole_lines());
    }
    bool pending() const noexcept override { return older_.pending() || framed_.pending(); }
    void settle(std::string_view piece, size_t first_line) noexcept override {
        older_.settle(piece, first_line);
        framed_.settle(piece, first_line);
    }
    void finish() override {
        if (older_.found_section()) {
            output_ = records::tddft::TDDFTOutput{std::move(*std::move(older_).finish())};
            return;
        }
        if (framed_in_use()) {
            core::DeferredReports deferred;
            try {
                if (std::optional<records::tddft::SOCMatrix> matrix = std::move(framed_).finish()) {
                    output_ = records::tddft::TDDFTOutput{std::move(*matrix)};
                    return;
                }
            } catch (const core::CheckFailure&) {
            }
        }
        parsers::tddft::fail_without_section();
    }
    bool has_result() const noexcept override { return output_.has_value(); }
    void add_rows(std::string_view file, Tables& tables, Counts& counts) const override {
        tables.add_tddft(file, *output_);
        counts[static_cast<size_t>(Counted::SOCStates)] = static_cast<uint32_t>(output_->soc_matrix.eigenvectors.size());
    }

private:
    // The newer releases' reading counts while the older one has found no section.
    bool framed_in_use() const noexcept { return !framed_failed_ && !older_.found_section(); }

    parsers::tddft::SOCSectionsReading older_{std::span(&headings::kSOCSection, 1), headings::kSOCCommon};
    parsers::tddft::SOCSectionsReading framed_{headings::kSOCFramed, headings::kSOCCommon};
    bool framed_failed_ = false;
    std::optional<records::tddft::TDDFTOutput> output_;
};

class CASSCFReading final : public ParserReading {
public:
    void read(parsers::LineCursor& lines) override { reading_.read(lines); }
    bool reads_whole_lines() const noexcept override { return reading_.reads_whole_lines(); }
    bool pending() const noexcept override { return reading_.pending(); }
    void settle(std::string_view piece, size_t first_line) noexcept override { reading_.settle(piece, first_line); }
    void finish() override { output_ = std::move(reading_).finish(); }
    bool has_result() const noexcept override { return output_.has_value(); }
    void add_rows(std::string_view file, Tables& tables, Counts& counts) const override {
        if (!output_) return;  // no section
        tables.add_casscf(file, *output_);
        counts[static_cast<size_t>(Counted::Orbitals)] = static_cast<uint32_t>(output_->orbital_contributions.size());
    }

private:
    parsers::casscf::CompositionReading reading_{true, headings::kComposition};
    std::optional<records::casscf::CASSCFOutput> output_;
};

// The records that a reading of a table gives.
template <typename Reading>
using RecordsOf = decltype(std::declval<Reading&&>().finish());

// A table beside the eigenvectors: the records of `Reading`, added by `add` and counted in `counted`.
template <typename Reading, void (Tables::*add)(std::string_view, const RecordsOf<Reading>&), Counted counted>
class SOCTableReading final : public ParserReading {
public:
    void read(parsers::LineCursor& lines) override { reading_.read(lines); }
    bool reads_whole_lines() const noexcept override { return reading_.reads_whole_lines(); }
    bool pending() const noexcept override { return false; }  // a failure ends the reading at once
    void settle(std::string_view, size_t) noexcept override {}
    void finish() override { output_ = std::move(reading_).finish(); }
    bool has_result() const noexcept override { return !output_.empty(); }
    void add_rows(std::string_view file, Tables& tables, Counts& counts) const override {
        (tables.*add)(file, output_);
        counts[static_cast<size_t>(counted)] = static_cast<uint32_t>(output_.size());
    }

private:
    Reading reading_;
    RecordsOf<Reading> output_;
};

using CouplingsReading = SOCTableReading<parsers::tddft::SOCCouplingsReading, &Tables::add_couplings, Counted::SOCCouplings>;
using SpectraReading = SOCTableReading<parsers::tddft::SOCSpectraReading, &Tables::add_transitions, Counted::SOCTransitions>;

template <typename Reading>
std::unique_ptr<ParserReading> start() {
    return std::make_unique<Reading>();
}

constexpr std::array<Extra, 2> kTDDFTExtras = {Extra{headings::kSOCCouplingsCommon, start<CouplingsReading>},
                                               Extra{headings::kSpectraCommon, start<SpectraReading>}};

}  // namespace

const std::array<Parser, 2> kParsers = {
    Parser{"tddft", {headings::kSOCCommon, headings::kSOCAny}, start<TDDFTReading>, kTDDFTExtras},
    Parser{"casscf", {headings::kComposition, std::span(&headings::kComposition, 1)}, start<CASSCFReading>},
};

static_assert(std::tuple_size_v<decltype(kParsers)> + kTDDFTExtras.size() <= kMostTargets,
              "the scan looks for every reading's needle at once");

}  // namespace columns
