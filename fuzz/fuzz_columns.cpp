// libFuzzer target: any bytes as a file's content, read for each kind in turn through a window of
// a size the input picks into the same tables (batches of a size the input picks too), exported
// and read back through the Arrow C interfaces. The rows must be those of tables filled straight
// from the parsers' records of the whole text (the walk over records is checked against the
// module's results by the Python suite), and each failure a row; a couplings row read by its places
// must read the same by its words; sanitizers catch a read outside a buffer, a leak, a second release.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "columns/export.hpp"
#include "columns/reader.hpp"
#include "fuzz/harness.hpp"
#include "parsers/casscf.hpp"
#include "parsers/headings.hpp"
#include "parsers/soc_tables.hpp"
#include "parsers/tddft.hpp"

namespace {

using Row = std::vector<std::string>;  // cells as text: strings quoted, floats by their bits
using Rows = std::vector<Row>;
constexpr std::string_view kFile = "f";

void check(bool ok, std::string_view what) {
    if (!ok) fuzz::bug("columns", what);
}

template <typename T>
T value_at(const ArrowArray& array, int64_t i) { return static_cast<const T*>(array.buffers[1])[i]; }

std::string cell(const char* format, const ArrowArray& array, int64_t i) {
    const auto* validity = static_cast<const uint8_t*>(array.buffers[0]);
    if (validity && !((validity[i / 8] >> (i % 8)) & 1)) return "null";
    switch (*format) {
        case 'I': return std::to_string(value_at<uint32_t>(array, i));
        case 'f': return 'f' + std::to_string(std::bit_cast<uint32_t>(value_at<float>(array, i)));
        case 'g': return 'g' + std::to_string(std::bit_cast<uint64_t>(value_at<double>(array, i)));
        case 'C': return std::to_string(value_at<uint8_t>(array, i));
        case 'c': return std::to_string(value_at<int8_t>(array, i));
        case 'L': return std::to_string(value_at<uint64_t>(array, i));
        case 'l': return std::to_string(value_at<int64_t>(array, i));
        case 'b': return std::to_string((value_at<uint8_t>(array, i / 8) >> (i % 8)) & 1);
    }
    const auto* offsets = static_cast<const int32_t*>(array.buffers[1]);
    check(0 <= offsets[i] && offsets[i] <= offsets[i + 1], "offsets out of order");
    const char* data = static_cast<const char*>(array.buffers[2]);
    return '"' + std::string(data + offsets[i], size_t(offsets[i + 1] - offsets[i]));
}

// Appends the batch's rows, checking each column against the schema and its own counts,
// then releases a child moved out of the batch on its own, and the batch after it.
void read_batch(const ArrowSchema& schema, ArrowArray& batch, size_t limit, Rows& rows) {
    check(batch.n_children == schema.n_children && batch.n_buffers == 1 && batch.null_count == 0, "batch shape");
    size_t first = rows.size();
    rows.resize(first + size_t(batch.length));
    for (int64_t c = 0; c < batch.n_children; ++c) {
        const ArrowArray& child = *batch.children[c];
        const char* format = schema.children[c]->format;
        check(child.length == batch.length && child.n_buffers == (*format == 'u' ? 3 : 2), "column shape");
        int64_t nulls = 0;
        for (int64_t i = 0; i < child.length; ++i) {
            nulls += rows[first + i].emplace_back(cell(format, child, i)) == "null";
        }
        check(nulls == child.null_count, "null count");
        const auto* offsets = static_cast<const int32_t*>(child.buffers[1]);
        check(*format != 'u' || child.length < 2 || size_t(offsets[child.length]) <= limit, "batch too large");
    }
    ArrowArray moved = *batch.children[0];
    batch.children[0]->release = nullptr;
    moved.release(&moved);
    batch.release(&batch);
    check(!moved.release && !batch.release, "a release left its structure live");
}

// Each table's rows, through streams that hold the tables' only share; a failure row as its
// file, kind, error and whether it has a note.
std::vector<Rows> read_tables(const columns::Tables& tables, size_t limit) {
    std::vector<Rows> result;
    for (auto& [name, table] : tables.finish()) {
        ArrowArrayStream stream;
        columns::export_stream(std::make_shared<const columns::ColumnTable>(std::move(table)), &stream);
        ArrowSchema schema;
        check(stream.get_schema(&stream, &schema) == 0 && std::strcmp(schema.format, "+s") == 0, "schema");
        Rows& rows = result.emplace_back();
        for (ArrowArray batch; stream.get_next(&stream, &batch) == 0 && batch.release;) {
            read_batch(schema, batch, limit, rows);
        }
        schema.release(&schema);
        stream.release(&stream);
    }
    constexpr size_t kFailures = std::find(columns::kTableNames.begin(), columns::kTableNames.end(),
                                           std::string_view("failures")) - columns::kTableNames.begin();
    for (Row& row : result[kFailures]) row = {row[0], row[1], row[2], row[4] == "null" ? "null" : "note"};
    return result;
}

// The field after the first "Program Version", found by a plain search.
std::optional<std::string_view> reference_version(std::string_view bytes) {
    size_t at = bytes.find(parsers::headings::kProgramVersion);
    if (at == bytes.npos) return std::nullopt;
    std::string_view rest = bytes.substr(at + parsers::headings::kProgramVersion.size());
    std::optional<std::string_view> field = parsers::Fields(rest.substr(0, rest.find('\n'))).next();
    if (field && !fuzz::reference_utf8(reinterpret_cast<const uint8_t*>(field->data()), field->size())) return {};
    return field;
}

// A table beside the TD-DFT result, read on its own from the whole text; whether it failed.
template <typename Rows>
bool expect_extra(Rows (*read)(std::string_view), void (columns::Tables::*add)(std::string_view, const Rows&),
                  columns::Counted counted, std::string_view bytes, columns::Tables& tables, columns::Counts& counts) {
    try {
        Rows rows = read(bytes);
        (tables.*add)(kFile, rows);
        counts[size_t(counted)] = uint32_t(rows.size());
        return false;
    } catch (const core::CheckFailure&) {
        tables.add_failure(kFile, {"tddft", "MalformedRow", "", "a note"});
        return true;
    }
}

// The tables stand in the SOC part: they are read from the line of the first place of the SOC text on.
bool expect_soc_tables(std::string_view bytes, columns::Tables& tables, columns::Counts& counts) {
    using columns::Counted, columns::Tables;
    size_t part = bytes.find(parsers::headings::kSOCCommon);
    if (part == bytes.npos) {
        tables.add_couplings(kFile, {});
        tables.add_transitions(kFile, {});
        return false;
    }
    size_t newline = bytes.rfind('\n', part);
    bytes.remove_prefix(newline == bytes.npos ? 0 : newline + 1);
    bool couplings = expect_extra(parsers::tddft::read_soc_couplings, &Tables::add_couplings, Counted::SOCCouplings,
                                  bytes, tables, counts);
    return expect_extra(parsers::tddft::read_soc_spectra, &Tables::add_transitions, Counted::SOCTransitions, bytes,
                        tables, counts) || couplings;
}

// Fills `tables` as the reader should, from the parsers' own records and failures; whether
// the file has a failure row.
bool expect(std::string_view bytes, columns::Kind kind, columns::Tables& tables) {
    const auto& soc_headings = parsers::headings::kSOCAny;
    bool automatic = kind == *columns::kind_named("auto");
    bool tddft = kind == *columns::kind_named("tddft") ||
                 (automatic && std::any_of(soc_headings.begin(), soc_headings.end(), [&](auto h) { return bytes.find(h) != bytes.npos; }));
    bool casscf = kind == *columns::kind_named("casscf") ||
                  (automatic && bytes.find(parsers::headings::kComposition) != bytes.npos);
    if (!tddft && !casscf) tables.add_failure(kFile, {"auto", "NoSection", "", std::nullopt});
    bool failed = !tddft && !casscf;
    columns::Counts counts{};
    bool utf8 = fuzz::reference_utf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    for (bool is_tddft : {true, false}) {
        if (!(is_tddft ? tddft : casscf)) continue;
        try {
            if (!utf8) core::fail("not UTF-8");
            if (is_tddft) {
                auto output = parsers::tddft::parse_tddft(bytes);
                tables.add_tddft(kFile, output);
                counts[size_t(columns::Counted::SOCStates)] = uint32_t(output.soc_matrix.eigenvectors.size());
            } else if (auto output = parsers::casscf::parse_casscf(bytes)) {
                tables.add_casscf(kFile, *output);
                counts[size_t(columns::Counted::Orbitals)] = uint32_t(output->orbital_contributions.size());
            }
        } catch (const core::CheckFailure&) {
            tables.add_failure(kFile, {is_tddft ? "tddft" : "casscf", "PanicException", "", "a note"});
            failed = true;
        }
        if (is_tddft && utf8) failed |= expect_soc_tables(bytes, tables, counts);
    }
    constexpr std::string_view kRan[] = {"", "casscf", "tddft", "tddft,casscf"};
    std::string_view ran = kRan[2 * tddft + casscf];
    tables.add_file(kFile, {.parsers = ran.empty() ? std::nullopt : std::optional(ran),
                            .program_version = reference_version(bytes), .counts = counts, .failed = failed});
    return failed;
}

// A couplings row read by its places must read the same by its words, to the bit.
void check_printed_couplings(std::string_view bytes) {
    using records::tddft::SOCCoupling;
    auto bits = [](const SOCCoupling& c) {
        std::array<double, 6> values = {c.z_real, c.z_imag, c.x_real, c.x_imag, c.y_real, c.y_imag};
        return std::pair(std::pair(c.triplet, c.singlet), std::bit_cast<std::array<uint64_t, 6>>(values));
    };
    for (size_t start = 0; start < bytes.size();) {
        size_t end = std::min(bytes.find('\n', start), bytes.size());
        std::string_view line = bytes.substr(start, end - start);
        start = end + 1;
        std::optional<SOCCoupling> placed = parsers::tddft::printed_coupling_of(line);
        if (!placed) continue;
        try {
            check(bits(*placed) == bits(parsers::tddft::coupling_by_words(line)), "a printed couplings row");
        } catch (const core::CheckFailure&) {
            check(false, "a printed couplings row that the words do not read");
        }
    }
}

}  // namespace

// The window: of a few bytes, which cut every line, of a few hundred, or the reader's own.
size_t window_for(std::string_view bytes) {
    if (bytes.empty()) return columns::kWindow;
    size_t pick = static_cast<unsigned char>(bytes.back()) % 16;
    return pick < 8 ? 1 + pick : pick < 15 ? size_t{1} << (pick - 2) : columns::kWindow;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    core::DeferredReports deferred;
    size_t limit = size_t{16} << (size % 10);
    columns::Tables tables(limit), expected;
    core::Text buffer;
    for (std::string_view name : {"auto", "tddft", "casscf"}) {
        columns::Kind kind = *columns::kind_named(name);
        columns::FileToRead file{"input", std::string(kFile), std::nullopt, columns::Given{bytes}};
        bool failed = columns::read_file(file, kind, tables, buffer, window_for(bytes)).failed;
        check(failed == expect(bytes, kind, expected), "failed files");
    }
    check(read_tables(tables, limit) == read_tables(expected, columns::kMaxStringBytes), "rows");
    check_printed_couplings(bytes);
    return 0;
}
