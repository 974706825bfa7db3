#include "columns/reader.hpp"

#include <fcntl.h>
#include <new>
#include <stdexcept>

#include "columns/file_type.hpp"
#include "columns/parser_table.hpp"
#include "core/check.hpp"
#include "core/read_file.hpp"

namespace columns {
namespace {

using core::CheckFailure;

// A window grown past this for a long line of a section goes with its file.
constexpr size_t kLargestKeptBuffer = size_t{64} << 20;

// A failure as its row shows it; for a failed check, the check, whose report a call of the module
// writes.
struct Failure {
    std::string error;
    std::string message;
    std::optional<std::string> where;
    std::optional<CheckFailure> check = std::nullopt;
};

Failure memory_error() { return {"MemoryError", "", std::nullopt}; }

// The first heading of each parser, e.g. the file holds neither "A" nor "B".
std::string no_section_message() {
    std::string message = "the file holds neither";
    for (const Parser& parser : kParsers) {
        message.append(&parser == kParsers.data() ? " \"" : " nor \"").append(parser.target.headings.front()).append("\"");
    }
    return message;
}

// The file at a path, a piece at a time; its lines are counted again from the file where asked for.
class FileSource final : public ByteSource, public LineCounter {
public:
    explicit FileSource(core::InputFile& file) noexcept : file_(file) {}
    size_t read(char* into, size_t most) override { return file_.read_some(into, most); }
    size_t newlines(uint64_t from, uint64_t to) override { return file_.newlines_between(from, to); }

private:
    core::InputFile& file_;
};

// The readings of the parsers that a file's kind calls for, fed the file's lines through a window,
// and the rows they make of it.
class FileReading {
public:
    // `report`: read as the module's calls do, for their results only (no parser's extras), and
    // write the report of each failed check as the call would, in the order of the parsers, as
    // their rows are added.
    FileReading(const FileToRead& file, Kind kind, bool report)
        : file_(file), kind_(kind), report_(report), entries_(entries_for(kind, !report)), targets_(targets_of(entries_)) {}
    // Reads the file's bytes from `source`; `counter` counts lines again where a number is asked for
    // (none: they are counted as they go). A failure to read them is thrown: a read failure
    // (CheckFailure), std::bad_alloc, ContentFailure.
    void read(ByteSource& source, LineCounter* counter, core::Text& buffer, size_t window);
    // Adds the file's rows, its files row last. `read_failure`: why its bytes could not be read,
    // which every parser that runs then reports.
    FileOutcome add_rows(const std::optional<Failure>& read_failure, std::optional<FileStamp> found, Tables& tables);

    // The failure that a call of the module raises instead. A path without UTF-8 form is named in
    // no note (notes quote UTF-8): its rows never show one.
    Failure failure_of(const CheckFailure& failure) const;

private:
    struct Entry {
        size_t parser;        // in kParsers
        const Extra* extra;  // one of its extras, or none for the parser's own reading
        std::unique_ptr<ParserReading> reading;
        std::optional<Failure> failure;
    };

    // Runs a step of the entry's reading; a failure ends the reading. Its place, and those the
    // reading keeps, are settled by `settle` while the piece is there.
    template <typename Step, typename Settle>
    void run(Entry& entry, Step&& step, Settle&& settle);
    bool reads_whole_lines() const noexcept;

    static std::vector<Entry> entries_for(Kind kind, bool extras);
    // Whether the parser runs on the file (its own reading is the entry `index`).
    bool runs(size_t index, bool read_failed) const;
    // The failure row of an entry that runs, if it has one.
    std::optional<Failure> failure_of(const Entry& entry, const std::optional<Failure>& read_failure) const;
    static std::vector<ScanTarget> targets_of(const std::vector<Entry>& entries);

    const FileToRead& file_;
    Kind kind_;
    bool report_;
    std::vector<Entry> entries_;
    std::vector<ScanTarget> targets_;
    std::optional<FileScan> scan_;  // of the bytes read
};

std::vector<FileReading::Entry> FileReading::entries_for(Kind kind, bool extras) {
    std::vector<Entry> entries;
    for (size_t p = 0; p < kParsers.size(); ++p) {
        if (kind.parser && *kind.parser != p) continue;
        entries.push_back({p, nullptr, kParsers[p].start(), std::nullopt});
        if (!extras) continue;
        for (const Extra& extra : kParsers[p].extras) entries.push_back({p, &extra, extra.start(), std::nullopt});
    }
    return entries;
}

// A target for each entry, in order: an extra's holds no heading, and decides nothing.
std::vector<ScanTarget> FileReading::targets_of(const std::vector<Entry>& entries) {
    std::vector<ScanTarget> targets;
    for (const Entry& entry : entries) {
        // An extra's tables stand in its parser's part: looked for after its text alone.
        targets.push_back(entry.extra ? ScanTarget{entry.extra->needle, {}, kParsers[entry.parser].target.needle}
                                      : kParsers[entry.parser].target);
    }
    return targets;
}

bool FileReading::runs(size_t index, bool read_failed) const {
    // An unreadable file goes to the first parser, whose failure then says why.
    return kind_.parser || (read_failed ? index == 0 : scan_->holds(index));
}

std::optional<Failure> FileReading::failure_of(const Entry& entry, const std::optional<Failure>& read_failure) const {
    if (entry.extra) return entry.failure;  // the file's own failures are the parser's
    if (file_.unencodable) {
        // A name without UTF-8 form fails before the file is read, as the module's argument check does.
        return Failure{"UnicodeEncodeError", *file_.unencodable, std::nullopt};
    }
    if (read_failure) return read_failure;
    if (const std::optional<core::Location>& where = scan_->invalid_utf8()) {
        return failure_of(core::not_utf8_failure(*where));
    }
    return entry.failure;
}

Failure FileReading::failure_of(const CheckFailure& failure) const {
    if (file_.unencodable) return {"PanicException", failure.message(), std::nullopt, failure};
    return {"PanicException", failure.message(), core::note_of(failure, file_.path), failure};
}

template <typename Step, typename Settle>
void FileReading::run(Entry& entry, Step&& step, Settle&& settle) {
    try {
        step();
        if (entry.reading->pending()) settle(*entry.reading);
        return;
    } catch (CheckFailure& failure) {
        settle(failure.location());
        entry.failure = failure_of(failure);
        if (entry.extra) entry.failure->error = "MalformedRow";
    } catch (const std::bad_alloc&) {
        entry.failure = memory_error();
    } catch (const std::length_error&) {
        entry.failure = memory_error();
    }
    entry.reading.reset();  // its records go with it
}

bool FileReading::reads_whole_lines() const noexcept {
    for (const Entry& entry : entries_) {
        if (entry.reading && entry.reading->reads_whole_lines()) return true;
    }
    return false;
}

void FileReading::read(ByteSource& source, LineCounter* counter, core::Text& buffer, size_t window_size) {
    FileScan& scan = scan_.emplace(targets_, counter);
    Window window(source, scan, window_size, buffer);
    std::vector<core::TextHits> hits;
    while (std::optional<LinePiece> piece = window.next(reads_whole_lines(), hits)) {
        // A file that is no UTF-8 fails as a whole: its readings are over.
        if (scan.invalid_utf8()) {
            for (Entry& entry : entries_) entry.reading.reset();
            continue;
        }
        // The piece's first line, counted only where a failure's place is taken from the piece.
        std::optional<size_t> first_line;
        auto settle = [&](auto& place) {
            if (!first_line) first_line = scan.line_at(piece->at);
            place.settle(piece->text, *first_line);
        };
        // A line scanned in parts has no places: its readings search it, but for what waits for its gate.
        const std::vector<core::TextHits> waiting = piece->stand_in ? scan.waiting() : std::vector<core::TextHits>{};
        for (Entry& entry : entries_) {
            if (!entry.reading) continue;
            parsers::LineCursor lines = piece->stand_in ? parsers::LineCursor(piece->text, std::span(waiting))
                                                        : parsers::LineCursor(piece->text, std::span(std::as_const(hits)));
            run(entry, [&] { entry.reading->read(lines); }, settle);
        }
    }
    for (Entry& entry : entries_) {
        if (!entry.reading) continue;
        run(entry, [&] { entry.reading->finish(); }, [&](auto& place) {
            if constexpr (std::is_same_v<std::decay_t<decltype(place)>, core::Location>) {
                place.settle_end_of_input(window.last_line(), window.last_line_text());
            }
        });
    }
}

FileOutcome FileReading::add_rows(const std::optional<Failure>& read_failure, std::optional<FileStamp> found,
                                  Tables& tables) {
    FileOutcome outcome;
    FileRow row;
    if (std::optional<FileStamp> stamp = file_.stamp ? file_.stamp : found) {
        row.bytes = stamp->bytes;
        row.mtime_ns = stamp->mtime_ns;
    }
    if (file_.compression) row.compression = *file_.compression;
    if (!read_failure) row.program_version = scan_->program_version();
    std::string parsers_ran;
    bool any_ran = false;
    bool file_failed = read_failure || file_.unencodable || scan_->invalid_utf8();
    size_t own = 0;  // the entry of the parser's own reading
    for (Entry& entry : entries_) {
        const Parser& parser = kParsers[entry.parser];
        if (!entry.extra) own = static_cast<size_t>(&entry - entries_.data());
        if (!runs(own, read_failure.has_value()) || (entry.extra && file_failed)) continue;
        if (!entry.extra) {
            any_ran = true;
            // A parser runs unless the name stops it, as the module's argument check stops the call.
            if (!file_.unencodable) parsers_ran.append(parsers_ran.empty() ? "" : ",").append(parser.name);
        }
        std::optional<Failure> failure = failure_of(entry, read_failure);
        if (!failure) {
            try {
                entry.reading->add_rows(file_.label, tables, row.counts);
                if (!entry.extra && entry.reading->has_result()) outcome.results |= 1u << entry.parser;
            } catch (const std::bad_alloc&) {
                failure = memory_error();
            } catch (const std::length_error&) {
                failure = memory_error();
            }
        }
        if (failure) {
            if (report_ && failure->check) failure->check->report_now();
            std::optional<std::string_view> where;
            if (failure->where) where = *failure->where;
            tables.add_failure(file_.label, {parser.name, failure->error, failure->message, where});
            row.failed = true;
        }
    }
    if (!any_ran) {
        tables.add_failure(file_.label, {name_of(kind_), "NoSection", no_section_message(), std::nullopt});
        row.failed = true;
    }
    if (!parsers_ran.empty()) row.parsers = parsers_ran;
    tables.add_file(file_.label, row);
    outcome.failed = row.failed;
    return outcome;
}

// A file that is read for no parser: its one failure row, and its files row.
FileOutcome add_failed_file(const FileToRead& file, std::string_view kind, const Failure& failure, Tables& tables) {
    tables.add_failure(file.label, {kind, failure.error, failure.message, std::nullopt});
    FileRow row{.failed = true};
    if (file.stamp) {
        row.bytes = file.stamp->bytes;
        row.mtime_ns = file.stamp->mtime_ns;
    }
    if (file.compression) row.compression = *file.compression;
    tables.add_file(file.label, row);
    return {.failed = true};
}

}  // namespace

std::optional<Kind> kind_named(std::string_view name) noexcept {
    if (name == "auto") return Kind{};
    for (size_t p = 0; p < kParsers.size(); ++p) {
        if (kParsers[p].name == name) return Kind{p};
    }
    return std::nullopt;
}

std::string_view name_of(Kind kind) noexcept { return kind.parser ? kParsers[*kind.parser].name : "auto"; }

FileOutcome read_file(const FileToRead& file, Kind kind, Tables& tables, core::Text& buffer, size_t window, bool report) {
    core::DeferredReports deferred;  // failures become rows, not reports
    if (const auto* unreadable = std::get_if<Unreadable>(&file.content)) {
        return add_failed_file(file, name_of(kind), {unreadable->error, unreadable->message, std::nullopt}, tables);
    }
    FileReading reading(file, kind, report);
    std::optional<Failure> read_failure;
    std::optional<FileStamp> found;
    try {
        if (const auto* given = std::get_if<Given>(&file.content)) {
            MemorySource source(given->bytes);
            reading.read(source, &source, buffer, window);
        } else if (const auto* streamed = std::get_if<Streamed>(&file.content)) {
            reading.read(*streamed->source, nullptr, buffer, window);
        } else {
            std::optional<std::string_view> irregular = irregular_file_at(file.path);
            if (!irregular) {
                // The path may have become a named pipe since it was examined: opening it must not wait.
                core::InputFile input(file.path, O_NONBLOCK);
                OpenFileStatus status = status_of(input.descriptor());
                irregular = status.irregular;
                found = status.stamp;
                FileSource source(input);
                if (!irregular) reading.read(source, &source, buffer, window);
            }
            if (irregular) {
                std::string message = "not a regular file: " + std::string(*irregular);
                return add_failed_file(file, name_of(kind), {"NotARegularFile", message, std::nullopt}, tables);
            }
        }
    } catch (const CheckFailure& failure) {
        read_failure = reading.failure_of(failure);
    } catch (const std::bad_alloc&) {
        read_failure = memory_error();
    } catch (const std::length_error&) {
        read_failure = memory_error();
    } catch (const ContentFailure& failure) {
        return add_failed_file(file, name_of(kind), {failure.error, failure.message, std::nullopt}, tables);
    }
    // A window grown for a long line goes before the rows are made: they need the room.
    if (buffer.capacity() > kLargestKeptBuffer) buffer = core::Text();
    return reading.add_rows(read_failure, found, tables);
}

Reading read_files(const std::vector<FileToRead>& files, Kind kind, const ContentSupplier& supply, size_t window,
                   bool report) {
    Tables tables;
    Reading reading;
    core::Text buffer;  // one window for all the files
    for (size_t i = 0; i < files.size(); ++i) {
        FileOutcome outcome;
        if (std::holds_alternative<Supplied>(files[i].content) && supply) {
            FileToRead file = files[i];
            supply(i, file);
            outcome = read_file(file, kind, tables, buffer, window, report);
        } else {
            outcome = read_file(files[i], kind, tables, buffer, window, report);
        }
        reading.failed_files += outcome.failed ? 1 : 0;
        reading.results.push_back(outcome.results);
    }
    reading.tables = tables.finish();
    return reading;
}

}  // namespace columns
