#pragma once
// The six tables of a reading, filled from the parsers' records, from failures and from each
// file's own row.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "columns/table.hpp"
#include "records/casscf.hpp"
#include "records/soc_tables.hpp"
#include "records/tddft.hpp"

namespace columns {

// The tables of a reading, in the order finish() hands them over.
inline constexpr std::array<const char*, 8> kTableNames = {"soc_states",    "soc_elements",    "orbitals",
                                                            "orbital_contributions", "soc_couplings", "soc_transitions",
                                                            "failures",      "files"};

// A reading that failed, as a row (its column "kind"): which parser, or the kind option for a file
// read by none; the exception type's name, its message and its note, if it has one.
struct FailureRow {
    std::string_view parser, error, message;
    std::optional<std::string_view> where;
};

// The tables whose rows of a file its files row counts, in the order of its columns.
enum class Counted : size_t { SOCStates, Orbitals, SOCCouplings, SOCTransitions };
inline constexpr std::array<const char*, 4> kCountedTables = {"soc_states", "orbitals", "soc_couplings",
                                                              "soc_transitions"};
using Counts = std::array<uint32_t, kCountedTables.size()>;

// A file as its row of the files table shows it: the file on disk when it was read, if it was;
// the parsers that ran on it ("tddft", "casscf" or "tddft,casscf"; its column "kind"), the rows it
// added, and whether it has a failure row.
struct FileRow {
    std::optional<uint64_t> bytes = std::nullopt;
    std::optional<int64_t> mtime_ns = std::nullopt;
    std::optional<std::string_view> compression = std::nullopt, parsers = std::nullopt, program_version = std::nullopt;
    Counts counts{};
    bool failed = false;
};

class Tables {
public:
    explicit Tables(size_t string_limit = kMaxStringBytes);

    // Each adds the rows of one file, named `file`; the rows of a record are added all or none.
    void add_tddft(std::string_view file, const records::tddft::TDDFTOutput& output);
    void add_casscf(std::string_view file, const records::casscf::CASSCFOutput& output);
    void add_couplings(std::string_view file, const std::vector<records::tddft::SOCCoupling>& couplings);
    void add_transitions(std::string_view file, const std::vector<records::tddft::SOCTransition>& transitions);
    void add_failure(std::string_view file, const FailureRow& failure);
    void add_file(std::string_view file, const FileRow& row);

    // The tables by name, in the order of kTableNames.
    std::vector<std::pair<const char*, ColumnTable>> finish() const;

private:
    void append_tddft(std::string_view file, const records::tddft::TDDFTOutput& output);
    void append_casscf(std::string_view file, const records::casscf::CASSCFOutput& output);

    using U32 = FixedWidthColumn<uint32_t>;
    using F32 = FixedWidthColumn<float>;
    using F64 = FixedWidthColumn<double>;

    Table<StringColumn, U32, U32, F32, U32> soc_states_;
    Table<StringColumn, U32, U32, F32, F32, F32, FixedWidthColumn<uint8_t>, FixedWidthColumn<uint8_t>, FixedWidthColumn<int8_t>>
        soc_elements_;
    Table<StringColumn, U32, U32, F32, F32, U32> orbitals_;
    Table<StringColumn, U32, U32, U32, StringColumn, StringColumn, F32> orbital_contributions_;
    Table<StringColumn, U32, U32, F64, F64, F64, F64, F64, F64> soc_couplings_;
    Table<StringColumn, StringColumn, U32, U32, NullableColumn<float>, NullableColumn<float>, NullableColumn<double>, F64,
          F64, F64, NullableColumn<double>, F64, F64, F64>
        soc_transitions_;
    Table<StringColumn, StringColumn, StringColumn, StringColumn, StringColumn> failures_;
    Table<StringColumn, NullableColumn<uint64_t>, NullableColumn<int64_t>, StringColumn, StringColumn, StringColumn,
          U32, U32, U32, U32, BoolColumn>
        files_;
};

}  // namespace columns
