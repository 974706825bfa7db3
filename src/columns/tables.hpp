#pragma once
// The five tables of a reading, filled from the parsers' records and from failures.

#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "columns/table.hpp"
#include "records/casscf.hpp"
#include "records/tddft.hpp"

namespace columns {

// The tables of a reading, in the order finish() hands them over.
inline constexpr std::array<const char*, 5> kTableNames = {"soc_states", "soc_elements", "orbitals",
                                                            "orbital_contributions", "failures"};

// A reading that failed, as a row: which parser (or "auto"), the exception type's name,
// its message and its note, if it has one.
struct FailureRow {
    std::string_view kind, error, message;
    std::optional<std::string_view> where;
};

class Tables {
public:
    explicit Tables(size_t string_limit = kMaxStringBytes);

    // Each adds the rows of one file, named `file`.
    void add_tddft(std::string_view file, const records::tddft::TDDFTOutput& output);
    void add_casscf(std::string_view file, const records::casscf::CASSCFOutput& output);
    void add_failure(std::string_view file, const FailureRow& failure);

    // The tables by name, in the order of kTableNames.
    std::vector<std::pair<const char*, ColumnTable>> finish() const;

private:
    using U32 = FixedWidthColumn<uint32_t>;
    using F32 = FixedWidthColumn<float>;

    Table<StringColumn, U32, U32, F32, U32> soc_states_;
    Table<StringColumn, U32, U32, F32, F32, F32, FixedWidthColumn<uint8_t>, FixedWidthColumn<uint8_t>, FixedWidthColumn<int8_t>>
        soc_elements_;
    Table<StringColumn, U32, U32, F32, F32, U32> orbitals_;
    Table<StringColumn, U32, U32, U32, StringColumn, StringColumn, F32> orbital_contributions_;
    Table<StringColumn, StringColumn, StringColumn, StringColumn, StringColumn> failures_;
};

}  // namespace columns
