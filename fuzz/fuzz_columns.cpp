// libFuzzer target: any bytes as a file's content, read for each kind in turn into the same
// five tables (batches of a size chosen by the input), exported and read back through the
// Arrow C interfaces. The rows must be the parsers' records (so the counts of the tables agree
// too), and each failure a row; sanitizers catch a read outside a buffer, a leak or a
// second release.
#include <cstring>
#include <memory>

#include "columns/export.hpp"
#include "columns/headings.hpp"
#include "columns/reader.hpp"
#include "fuzz/harness.hpp"
#include "parsers/casscf.hpp"
#include "parsers/tddft.hpp"

namespace {

using Row = std::vector<std::string>;  // cells as text: strings quoted, floats by their bits
using Rows = std::vector<Row>;

void check(bool ok, std::string_view what) {
    if (!ok) fuzz::bug("columns", what);
}

std::string quoted(std::string_view text) { return '"' + std::string(text); }

std::string bits(float value) {
    uint32_t word;
    std::memcpy(&word, &value, 4);
    return 'f' + std::to_string(word);
}

std::string cell(const char* format, const ArrowArray& array, int64_t i) {
    const auto* validity = static_cast<const uint8_t*>(array.buffers[0]);
    if (validity && !((validity[i / 8] >> (i % 8)) & 1)) return "null";
    const void* values = array.buffers[1];
    switch (*format) {
        case 'I': return std::to_string(static_cast<const uint32_t*>(values)[i]);
        case 'f': return bits(static_cast<const float*>(values)[i]);
        case 'C': return std::to_string(static_cast<const uint8_t*>(values)[i]);
        case 'c': return std::to_string(static_cast<const int8_t*>(values)[i]);
    }
    const auto* offsets = static_cast<const int32_t*>(values);
    check(0 <= offsets[i] && offsets[i] <= offsets[i + 1], "offsets out of order");
    std::string_view text(static_cast<const char*>(array.buffers[2]) + offsets[i], size_t(offsets[i + 1] - offsets[i]));
    check(binding::is_valid_utf8(text), "a string that is not UTF-8");
    return quoted(text);
}

// Appends the batch's rows, checking each column against the schema and its own counts,
// then releases a moved-out child on its own and the batch after it.
void read_batch(const ArrowSchema& schema, ArrowArray& batch, size_t limit, Rows& rows) {
    check(batch.n_children == schema.n_children && batch.n_buffers == 1 && batch.null_count == 0, "batch shape");
    size_t first = rows.size();
    rows.resize(first + size_t(batch.length));
    for (int64_t c = 0; c < batch.n_children; ++c) {
        const ArrowArray& child = *batch.children[c];
        const char* format = schema.children[c]->format;
        check(child.length == batch.length && child.n_buffers == (*format == 'u' ? 3 : 2), "column shape");
        int64_t nulls = 0;
        for (int64_t i = 0; i < child.length; ++i) nulls += (rows[first + i].emplace_back(cell(format, child, i)) == "null");
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

// The rows through a stream that holds the table's only share.
Rows read_table(columns::ColumnTable table, size_t limit) {
    ArrowArrayStream stream;
    columns::export_stream(std::make_shared<const columns::ColumnTable>(std::move(table)), &stream);
    ArrowSchema schema;
    check(stream.get_schema(&stream, &schema) == 0 && std::strcmp(schema.format, "+s") == 0, "schema");
    Rows rows;
    for (ArrowArray batch; stream.get_next(&stream, &batch) == 0 && batch.release;) read_batch(schema, batch, limit, rows);
    schema.release(&schema);
    stream.release(&stream);
    return rows;
}

void add_records(const outputs::tddft::TDDFTOutput& output, Rows* tables) {
    const auto& states = output.soc_matrix.eigenvectors;
    for (size_t s = 0; s < states.size(); ++s) {
        const auto& elements = states[s].elements;
        tables[0].push_back({quoted("f"), std::to_string(s), std::to_string(states[s].n), bits(states[s].energy),
                             std::to_string(elements.size())});
        for (size_t e = 0; e < elements.size(); ++e) {
            const auto& x = elements[e];
            tables[1].push_back({quoted("f"), std::to_string(s), std::to_string(e), bits(x.weight), bits(x.real),
                                 bits(x.imag), std::to_string(x.root), std::to_string(x.spin), std::to_string(x.ms)});
        }
    }
}

void add_records(const outputs::casscf::CASSCFOutput& output, Rows* tables) {
    const auto& orbitals = output.orbital_contributions;
    for (size_t o = 0; o < orbitals.size(); ++o) {
        const auto& rows = orbitals[o].contributions;
        tables[2].push_back({quoted("f"), std::to_string(o), std::to_string(orbitals[o].orbital_nr),
                             bits(orbitals[o].energy), bits(orbitals[o].occupation), std::to_string(rows.size())});
        for (size_t r = 0; r < rows.size(); ++r) {
            tables[3].push_back({quoted("f"), std::to_string(o), std::to_string(r), std::to_string(rows[r].atom_nr),
                                 quoted(rows[r].element), quoted(rows[r].orbital_type), bits(rows[r].contribution)});
        }
    }
}

// The tables from the parsers themselves; a failure row by its file, kind, error and whether
// it has a note.
void expect(std::string_view bytes, columns::Kind kind, Rows* tables) {
    using columns::Kind;
    bool tddft = kind == Kind::TDDFT || (kind == Kind::Auto && bytes.find(columns::kTDDFTHeading) != bytes.npos);
    bool casscf = kind == Kind::CASSCF || (kind == Kind::Auto && bytes.find(columns::kCASSCFHeading) != bytes.npos);
    if (!tddft && !casscf) tables[4].push_back({quoted("f"), quoted("auto"), quoted("NoSection"), "null"});
    bool utf8 = fuzz::reference_utf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    for (bool is_tddft : {true, false}) {
        if (!(is_tddft ? tddft : casscf)) continue;
        try {
            if (!utf8) binding::fail("not UTF-8");
            if (is_tddft) add_records(parsers::tddft::parse_tddft(bytes), tables);
            else if (auto output = parsers::casscf::parse_casscf(bytes)) add_records(*output, tables);
        } catch (const binding::CheckFailure&) {
            tables[4].push_back({quoted("f"), quoted(is_tddft ? "tddft" : "casscf"), quoted("PanicException"), "note"});
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    binding::DeferredReports deferred;
    size_t limit = size_t{16} << (size % 10);
    columns::Tables tables(limit);
    Rows expected[5];
    for (columns::Kind kind : {columns::Kind::Auto, columns::Kind::TDDFT, columns::Kind::CASSCF}) {
        bool failed = columns::read_content({"input", "f", std::nullopt}, bytes, kind, tables);
        size_t failures = expected[4].size();
        expect(bytes, kind, expected);
        check(failed == (expected[4].size() > failures), "failed files");
    }
    auto finished = tables.finish();
    for (size_t t = 0; t < 5; ++t) {
        Rows got = read_table(std::move(finished[t].second), limit);
        if (t == 4) for (Row& row : got) row = {row[0], row[1], row[2], row[4] == "null" ? "null" : "note"};
        check(got == expected[t], finished[t].first);
    }
    return 0;
}
