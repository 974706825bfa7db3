#include "columns/reader.hpp"

#include <fcntl.h>
#include <new>
#include <stdexcept>

#include "core/check.hpp"
#include "core/read_file.hpp"
#include "columns/file_type.hpp"
#include "columns/program_version.hpp"
#include "columns/text_scan.hpp"
#include "parsers/casscf.hpp"
#include "parsers/tddft.hpp"

namespace columns {
namespace {

using core::CheckFailure;

constexpr std::string_view kKindNames[] = {"auto", "tddft", "casscf"};
constexpr size_t kLargestKeptBuffer = size_t{64} << 20;
// Small enough to be in cache still when the scan reads it.
constexpr size_t kReadPiece = size_t{256} << 10;

std::string_view name_of(Kind kind) { return kKindNames[static_cast<size_t>(kind)]; }

// A failure as its row shows it.
struct Failure {
    std::string error;
    std::string message;
    std::optional<std::string> where;
};

// Runs `work`; the failure that a call of the module would raise instead, if any. A path
// without UTF-8 form is named in no note (notes quote UTF-8): its rows never show one.
template <typename Work>
std::optional<Failure> failure_of(const FileToRead& file, Work&& work) {
    try {
        work();
        return std::nullopt;
    } catch (const CheckFailure& failure) {
        if (file.unencodable) return Failure{"PanicException", failure.message(), std::nullopt};
        return Failure{"PanicException", failure.message(), core::note_of(failure, file.path)};
    } catch (const std::bad_alloc&) {
        return Failure{"MemoryError", "", std::nullopt};
    } catch (const std::length_error&) {
        return Failure{"MemoryError", "", std::nullopt};
    }
}

// Reads the file into `text` a piece at a time, each scanned while it is still in cache.
TextScan read_scanning(core::InputFile& input, bool headings, core::Text& text) {
    TextScanner scanner(headings);
    input.start_reading_into(text);
    while (input.read_more_into(text, kReadPiece)) scanner.advance(text.view());
    return std::move(scanner).finish(text.view());
}

std::string no_section_message() {
    using namespace parsers::headings;
    return "the file holds neither \"" + std::string(kSOCSection) + "\" nor \"" + std::string(kComposition) + "\"";
}

// A file's records and failures, gathered before they become rows, so that its text can go
// first.
struct FileResults {
    std::optional<records::tddft::TDDFTOutput> tddft;
    std::optional<records::casscf::CASSCFOutput> casscf;  // none: no section
    std::vector<std::pair<std::string_view, Failure>> failures;  // by the parser's name, or "auto"
    bool ran_tddft = false, ran_casscf = false;  // failed or not
    std::optional<std::string> program_version;  // a copy: the text may go before the rows are made
    std::optional<FileStamp> stamp;              // of the file as the reader opened it

    void fail(std::string_view kind, Failure failure) { failures.emplace_back(kind, std::move(failure)); }
};

// The parser's records, or its failure. Running out of memory after the parser is done is no
// failure of the parser: it ends the whole reading.
// `hits`: where the scan found the parser's heading, if it looked.
std::optional<Failure> parse(bool tddft, const FileToRead& file, std::string_view content,
                             const core::TextHits* hits, FileResults& results) {
    if (tddft) return failure_of(file, [&] { results.tddft = parsers::tddft::parse_tddft(content, hits); });
    return failure_of(file, [&] { results.casscf = parsers::casscf::parse_casscf(content, hits); });
}

Failure no_section() { return {"NoSection", no_section_message(), std::nullopt}; }

// `read_failure`: why the content could not be read, which every parser then reports; `scan`:
// the content's, if it was scanned while it was read.
FileResults read_content_of(const FileToRead& file, Kind kind, std::string_view content,
                            std::optional<Failure> read_failure, std::optional<TextScan> scan_so_far = {}) {
    FileResults results;
    TextScan scan;
    bool headings = kind == Kind::Auto && !read_failure;
    if (!read_failure) {
        scan = scan_so_far ? std::move(*scan_so_far) : scan_text(content, headings);
        if (std::optional<std::string_view> version = program_version(content, scan.program_version)) {
            results.program_version = *version;
        }
    }
    bool tddft = kind == Kind::TDDFT || (kind == Kind::Auto && (read_failure || holds_tddft_heading(content, scan.tddft)));
    bool casscf = kind == Kind::CASSCF || (headings && !scan.casscf.offsets.empty());
    // An unreadable file goes to the first parser, whose failure then says why.
    if (!tddft && !casscf) {
        results.fail("auto", no_section());
        return results;
    }
    if (!read_failure && !file.unencodable && !scan.utf8) {
        read_failure = failure_of(file, [&] { core::require_utf8(content); });
    }
    for (bool is_tddft : {true, false}) {
        if (!(is_tddft ? tddft : casscf)) continue;
        // A parser runs unless the name stops it, as the module's argument check stops the call.
        if (!file.unencodable) (is_tddft ? results.ran_tddft : results.ran_casscf) = true;
        // A name without UTF-8 form fails before the file is read, as the module's argument check does.
        std::optional<Failure> failure = file.unencodable ? Failure{"UnicodeEncodeError", *file.unencodable, {}}
                                         : read_failure   ? read_failure
                                         : parse(is_tddft, file, content,
                                                 headings ? (is_tddft ? &scan.tddft : &scan.casscf) : nullptr,
                                                 results);
        if (failure) results.fail(is_tddft ? "tddft" : "casscf", std::move(*failure));
    }
    return results;
}

// The file's row: what the caller knows of the file stands in for what the reader `found`.
void add_file_row(const FileToRead& file, std::optional<FileStamp> found, FileRow row, Tables& tables) {
    if (std::optional<FileStamp> stamp = file.stamp ? file.stamp : found) {
        row.bytes = stamp->bytes;
        row.mtime_ns = stamp->mtime_ns;
    }
    if (file.compression) row.compression = *file.compression;
    tables.add_file(file.label, row);
}

// The files row's kind: by whether TD-DFT and whether CASSCF ran.
constexpr std::optional<std::string_view> kParsersRan[2][2] = {{std::nullopt, "casscf"}, {"tddft", "tddft,casscf"}};

// The rows of one file; true when one of them is a failure row.
bool add_rows(const FileToRead& file, const FileResults& results, Tables& tables) {
    if (results.tddft) tables.add_tddft(file.label, *results.tddft);
    if (results.casscf) tables.add_casscf(file.label, *results.casscf);
    for (const auto& [kind, failure] : results.failures) {
        std::optional<std::string_view> where;
        if (failure.where) where = *failure.where;
        tables.add_failure(file.label, {kind, failure.error, failure.message, where});
    }
    const std::optional<std::string>& version = results.program_version;
    FileRow row{.kind = kParsersRan[results.ran_tddft][results.ran_casscf],
                .program_version = version ? std::optional<std::string_view>(*version) : std::nullopt,
                .soc_states = static_cast<uint32_t>(results.tddft ? results.tddft->soc_matrix.eigenvectors.size() : 0),
                .orbitals = static_cast<uint32_t>(results.casscf ? results.casscf->orbital_contributions.size() : 0),
                .failed = !results.failures.empty()};
    add_file_row(file, results.stamp, row, tables);
    return row.failed;
}

}  // namespace

std::optional<Kind> kind_named(std::string_view name) noexcept {
    for (size_t k = 0; k < std::size(kKindNames); ++k) {
        if (kKindNames[k] == name) return static_cast<Kind>(k);
    }
    return std::nullopt;
}

bool read_file(const FileToRead& file, Kind kind, Tables& tables, core::Text& text) {
    core::DeferredReports deferred;  // failures become rows, not reports
    std::optional<std::string_view> irregular = irregular_file_at(file.path);
    text.clear();
    std::optional<Failure> failure;
    std::optional<TextScan> scan;
    std::optional<FileStamp> stamp;
    if (!irregular) {
        failure = failure_of(file, [&] {
            // The path may have become a named pipe since it was examined: opening it must not wait.
            core::InputFile input(file.path, O_NONBLOCK);
            OpenFileStatus status = status_of(input.descriptor());
            irregular = status.irregular;
            stamp = status.stamp;
            if (!irregular) scan = read_scanning(input, kind == Kind::Auto, text);
        });
    }
    if (irregular) {
        std::string message = "not a regular file: " + std::string(*irregular);
        tables.add_failure(file.label, {name_of(kind), "NotARegularFile", message, std::nullopt});
        add_file_row(file, std::nullopt, {.failed = true}, tables);
        return true;
    }
    FileResults results = read_content_of(file, kind, text.view(), std::move(failure), std::move(scan));
    results.stamp = stamp;
    // A large file's text goes before its rows are made: they need the room.
    if (text.capacity() > kLargestKeptBuffer) text = core::Text();
    return add_rows(file, results, tables);
}

bool read_content(const FileToRead& file, std::string_view content, Kind kind, Tables& tables) {
    core::DeferredReports deferred;
    return add_rows(file, read_content_of(file, kind, content, std::nullopt), tables);
}

namespace {

// The rows of one file; true if one of them is a failure row.
bool read_one(const FileToRead& file, Kind kind, Tables& tables, core::Text& buffer) {
    if (file.decompression_failure) {
        tables.add_failure(file.label, {name_of(kind), "DecompressionError", *file.decompression_failure, std::nullopt});
        add_file_row(file, std::nullopt, {.failed = true}, tables);
        return true;
    }
    return file.content ? read_content(file, *file.content, kind, tables) : read_file(file, kind, tables, buffer);
}

}  // namespace

Reading read_files(const std::vector<FileToRead>& files, Kind kind, const ContentSupplier& supply) {
    Tables tables;
    size_t failed = 0;
    core::Text buffer;  // one for all the files: see read_all_into
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].supplied && supply) {
            FileToRead file = files[i];
            supply(i, file);
            failed += read_one(file, kind, tables, buffer) ? 1 : 0;
        } else {
            failed += read_one(files[i], kind, tables, buffer) ? 1 : 0;
        }
    }
    return {tables.finish(), failed};
}

}  // namespace columns
