#pragma once
// Files into table rows: the parsers a file calls for, and each one's records or its failure
// as a row, with the message and note that a call of the module raises for it. A file is read
// through a window (window.hpp), never held whole.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/text.hpp"
#include "columns/file_type.hpp"
#include "columns/tables.hpp"
#include "columns/window.hpp"

namespace columns {

// The kind option: "auto", every parser whose heading a file holds; or one parser, by its place in
// the column reader's table (parser_table.hpp).
struct Kind {
    std::optional<size_t> parser;  // none: auto
    bool operator==(const Kind&) const = default;
};

// "auto", or a parser's name; none for another text.
std::optional<Kind> kind_named(std::string_view name) noexcept;
std::string_view name_of(Kind kind) noexcept;

// Where a file's content comes from: the file at its path; bytes the caller holds (e.g.
// decompressed); a source that gives them a piece at a time (e.g. a decompressing reader); the
// caller's supplier, asked when the reading reaches the file; or nowhere, for a reason that is the
// file's one failure row (e.g. a compressed file that is truncated or corrupt).
struct OnDisk {};
struct Given {
    std::string_view bytes;
};
struct Streamed {
    std::shared_ptr<ByteSource> source;
};
struct Supplied {};
struct Unreadable {
    std::string error, message;
};
using Content = std::variant<OnDisk, Given, Streamed, Supplied, Unreadable>;

// A source that cannot give the rest of its content, for the reason that is then the file's one
// failure row (a decompressing reader that finds the data truncated or corrupt).
struct ContentFailure {
    std::string error, message;
};

struct FileToRead {
    std::string path;   // the file-system bytes: opened, and named in notes
    std::string label;  // the file column's value
    // Why the path has no strict UTF-8 form: the message of the UnicodeEncodeError that a call
    // of the module raises for it.
    std::optional<std::string> unencodable = std::nullopt;
    Content content = OnDisk{};
    // The file on disk as the caller found it when it read the content it gives (e.g. a compressed
    // file), and how that was compressed: its files row shows these, not what the reader finds.
    std::optional<FileStamp> stamp = std::nullopt;
    std::optional<std::string> compression = std::nullopt;
};

struct Reading {
    std::vector<std::pair<const char*, ColumnTable>> tables;
    size_t failed_files = 0;  // files with a failure row
    std::vector<uint32_t> results;  // for each file, as FileOutcome::results
};

// What reading one file came to: whether it has a failure row, and which parsers gave a result (bit
// p for the parser p of the column reader's table; a parser that finds no section may give none).
struct FileOutcome {
    bool failed = false;
    uint32_t results = 0;
};

// Fills in a supplied file's content, stamp and compression. What it hands over stays valid until
// its next call or the end of the reading.
using ContentSupplier = std::function<void(size_t index, FileToRead& file)>;

// Appends the rows of one file, its files row last. `buffer` is the window's, kept from file to
// file; `window`: see kWindow. `report`: write the failure report of each parser that fails a
// check, as a call of the module would (else failures are rows only).
FileOutcome read_file(const FileToRead& file, Kind kind, Tables& tables, core::Text& buffer, size_t window = kWindow,
                      bool report = false);

// The rows of the files, in their order; `supply` is called for each supplied file.
Reading read_files(const std::vector<FileToRead>& files, Kind kind, const ContentSupplier& supply = {},
                   size_t window = kWindow, bool report = false);

}  // namespace columns
