#pragma once
// Files into table rows: the parsers a file calls for, and each one's records or its failure
// as a row, with the message and note that a call of the module raises for it.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/text.hpp"
#include "columns/file_type.hpp"
#include "columns/tables.hpp"

namespace columns {

enum class Kind { Auto, TDDFT, CASSCF };

std::optional<Kind> kind_named(std::string_view name) noexcept;

struct FileToRead {
    std::string path;   // the file-system bytes: opened, and named in notes
    std::string label;  // the file column's value
    // Why the path has no strict UTF-8 form: the message of the UnicodeEncodeError that a call
    // of the module raises for it.
    std::optional<std::string> unencodable;
    // The file's content, when the caller has it already (e.g. decompressed): the path is
    // then not opened, only named.
    std::optional<std::string_view> content = std::nullopt;
    // Why the caller could not have its content (a compressed file that is truncated or
    // corrupt): its one row, a DecompressionError.
    std::optional<std::string> decompression_failure = std::nullopt;
    // The file on disk as the caller found it when it read the content it gives (e.g. a compressed
    // file), and how that was compressed: its files row shows these, not what the reader finds.
    std::optional<FileStamp> stamp = std::nullopt;
    std::optional<std::string> compression = std::nullopt;
    // The content (or why it could not be had, and the stamp) comes from the caller's supplier
    // when the reading reaches the file, so that one such content is held at a time.
    bool supplied = false;
};

// Each appends the rows of one file, its files row last, and tells whether one of them is a
// failure row; `text` is a buffer for the file's bytes.
bool read_file(const FileToRead& file, Kind kind, Tables& tables, core::Text& text);
// `content` stands for the content of a regular file at file.path.
bool read_content(const FileToRead& file, std::string_view content, Kind kind, Tables& tables);

struct Reading {
    std::vector<std::pair<const char*, ColumnTable>> tables;
    size_t failed_files = 0;  // files with a failure row
};

// Fills in a supplied file's content, or why it could not be had, and its stamp and compression.
// What it hands over stays valid until its next call or the end of the reading.
using ContentSupplier = std::function<void(size_t index, FileToRead& file)>;

// The rows of the files, in their order; `supply` is called for each supplied file.
Reading read_files(const std::vector<FileToRead>& files, Kind kind, const ContentSupplier& supply = {});

}  // namespace columns
