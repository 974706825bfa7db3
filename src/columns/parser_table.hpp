#pragma once
// The parsers of the column reader, one entry each: its name, what the scan looks for and the
// headings that make a file one for it, its reading of a file a piece of lines at a time, and the
// rows it adds. The scan, the dispatch, the failure rows and the files row all go by this table.

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "columns/tables.hpp"
#include "columns/text_scan.hpp"
#include "parsers/lines.hpp"

namespace columns {

// One parser's reading of one file, fed the file's whole lines a piece at a time.
class ParserReading {
public:
    virtual ~ParserReading() = default;
    // Reads on through the lines; a failure of the file's content is thrown (core::CheckFailure).
    virtual void read(parsers::LineCursor& lines) = 0;
    // Whether the next line is read whole, not only looked at for a heading.
    virtual bool reads_whole_lines() const noexcept = 0;
    // Whether a failure it keeps still points into the lines it was given; they take their line from
    // `piece`, whose first line is `first_line`, while it is there (core::Location::settle).
    virtual bool pending() const noexcept = 0;
    virtual void settle(std::string_view piece, size_t first_line) noexcept = 0;
    // The file has ended; a failure of its content is thrown.
    virtual void finish() = 0;
    // Whether it has a result: none for a parser that finds no section and fails not for it.
    virtual bool has_result() const noexcept = 0;
    // Adds its rows of the file, named `file`, each table's all or none, and their counts for the
    // files row.
    virtual void add_rows(std::string_view file, Tables& tables, Counts& counts) const = 0;
};

// A reading of tables beside a parser's result, in every file the parser runs on: it reads, and
// fails (error "MalformedRow"), on its own. The module's calls know none: skav-rs json reads none.
struct Extra {
    std::string_view needle;  // what the scan looks for, for the reading's cursor to jump to
    std::unique_ptr<ParserReading> (*start)();
};

struct Parser {
    // The kind option that asks for it; its name in failure rows and in the files row.
    std::string_view name;
    // What the scan looks for: a file holding one of these headings anywhere calls for the
    // parser when its kind is "auto"; the parser's cursor jumps from one place to the next.
    ScanTarget target;
    // A new reading of one file.
    std::unique_ptr<ParserReading> (*start)();
    std::span<const Extra> extras = {};
};

extern const std::array<Parser, 2> kParsers;

}  // namespace columns
