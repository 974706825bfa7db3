#include "columns/reader.hpp"

#include <fcntl.h>
#include <new>
#include <stdexcept>

#include "binding/check.hpp"
#include "binding/read_file.hpp"
#include "columns/file_type.hpp"
#include "columns/headings.hpp"
#include "parsers/casscf.hpp"
#include "parsers/tddft.hpp"

namespace columns {
namespace {

using binding::CheckFailure;

constexpr std::string_view kKindNames[] = {"auto", "tddft", "casscf"};

std::string_view name_of(Kind kind) { return kKindNames[static_cast<size_t>(kind)]; }

// A failure as its row shows it.
struct Failure {
    std::string error;
    std::string message;
    std::optional<std::string> where;
};

// The module's note; none if it cannot be made, as there.
std::optional<std::string> note_of(const CheckFailure& failure, std::string_view path) noexcept {
    try {
        std::string note = failure.location().note(path);
        if (!note.empty()) return note;
    } catch (const std::bad_alloc&) {
    }
    return std::nullopt;
}

// Runs `work`; the failure that a call of the module would raise instead, if any. A path
// without UTF-8 form is named in no note (notes quote UTF-8): its rows never show one.
template <typename Work>
std::optional<Failure> failure_of(const FileToRead& file, Work&& work) {
    try {
        work();
        return std::nullopt;
    } catch (const CheckFailure& failure) {
        if (file.unencodable) return Failure{"PanicException", failure.message(), std::nullopt};
        return Failure{"PanicException", failure.message(), note_of(failure, file.path)};
    } catch (const std::bad_alloc&) {
        return Failure{"MemoryError", "", std::nullopt};
    } catch (const std::length_error&) {
        return Failure{"MemoryError", "", std::nullopt};
    }
}

Headings parsers_for(Kind kind, std::string_view content, bool unreadable) noexcept {
    if (kind != Kind::Auto) return {kind == Kind::TDDFT, kind == Kind::CASSCF};
    // The first parser's own failure then says why.
    if (unreadable) return {true, false};
    return find_headings(content);
}

std::string no_section_message() {
    return "the file holds neither \"" + std::string(kTDDFTHeading) + "\" nor \"" + std::string(kCASSCFHeading) + "\"";
}

// The parser's records into the tables, or its failure. Running out of memory while the
// tables grow is no failure of the parser: it ends the whole reading.
std::optional<Failure> parse_into(bool tddft, const FileToRead& file, std::string_view content, Tables& tables) {
    if (tddft) {
        std::optional<outputs::tddft::TDDFTOutput> output;
        std::optional<Failure> failure = failure_of(file, [&] { output = parsers::tddft::parse_tddft(content); });
        if (output) tables.add_tddft(file.label, *output);
        return failure;
    }
    std::optional<outputs::casscf::CASSCFOutput> output;
    std::optional<Failure> failure = failure_of(file, [&] { output = parsers::casscf::parse_casscf(content); });
    if (output) tables.add_casscf(file.label, *output);  // no section, no rows
    return failure;
}

// `read_failure`: why the content could not be read, which every parser then reports.
bool add_rows(const FileToRead& file, Kind kind, std::string_view content, std::optional<Failure> read_failure,
              Tables& tables) {
    Headings parsers = parsers_for(kind, content, read_failure.has_value());
    if (!parsers.tddft && !parsers.casscf) {
        tables.add_failure(file.label, {"auto", "NoSection", no_section_message(), std::nullopt});
        return true;
    }
    if (!read_failure && !file.unencodable) {
        read_failure = failure_of(file, [&] { binding::require_utf8(content); });
    }
    bool failed = false;
    for (bool tddft : {true, false}) {
        if (!(tddft ? parsers.tddft : parsers.casscf)) continue;
        // A name without UTF-8 form fails before the file is read, as the module's argument check does.
        std::optional<Failure> failure = file.unencodable ? Failure{"UnicodeEncodeError", *file.unencodable, {}}
                                         : read_failure   ? read_failure
                                                          : parse_into(tddft, file, content, tables);
        if (!failure) continue;
        std::optional<std::string_view> where;
        if (failure->where) where = *failure->where;
        tables.add_failure(file.label, {tddft ? "tddft" : "casscf", failure->error, failure->message, where});
        failed = true;
    }
    return failed;
}

}  // namespace

std::optional<Kind> kind_named(std::string_view name) noexcept {
    for (size_t k = 0; k < std::size(kKindNames); ++k) {
        if (kKindNames[k] == name) return static_cast<Kind>(k);
    }
    return std::nullopt;
}

bool read_file(const FileToRead& file, Kind kind, Tables& tables) {
    binding::DeferredReports deferred;  // failures become rows, not reports
    std::optional<std::string_view> irregular = irregular_file_at(file.path);
    binding::Text text;
    std::optional<Failure> failure;
    if (!irregular) {
        failure = failure_of(file, [&] {
            // The path may have become a named pipe since it was examined: opening it must not wait.
            binding::InputFile input(file.path, O_NONBLOCK);
            irregular = irregular_file(input.descriptor());
            if (!irregular) text = input.read_all();
        });
    }
    if (irregular) {
        std::string message = "not a regular file: " + std::string(*irregular);
        tables.add_failure(file.label, {name_of(kind), "NotARegularFile", message, std::nullopt});
        return true;
    }
    return add_rows(file, kind, text.view(), std::move(failure), tables);
}

bool read_content(const FileToRead& file, std::string_view content, Kind kind, Tables& tables) {
    binding::DeferredReports deferred;
    return add_rows(file, kind, content, std::nullopt, tables);
}

Reading read_files(const std::vector<FileToRead>& files, Kind kind) {
    Tables tables;
    size_t failed = 0;
    for (const FileToRead& file : files) failed += read_file(file, kind, tables) ? 1 : 0;
    return {tables.finish(), failed};
}

}  // namespace columns
