#pragma once
// A file read through a window of fixed size: its bytes come a piece at a time and go on as
// pieces of whole lines, each scanned (text_scan.hpp) before it is handed over. The window holds
// the line being read and what has been read after it, never the whole file. A line longer than
// the window is held whole only when the reader wants it whole (a line of a section); otherwise it
// passes a part at a time and the reader gets its stand-in (long_line.hpp).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns/long_line.hpp"
#include "columns/text_scan.hpp"
#include "core/text.hpp"

namespace columns {

// The window, in bytes: lines up to this long are held whole, wherever they stand. Read 256 kB at
// a time, so that each piece is scanned while it is in cache.
inline constexpr size_t kWindow = size_t{4} << 20;
inline constexpr size_t kPiece = size_t{256} << 10;

// Where a file's bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `most` more bytes into `into`; 0 at the end. A failure to read is thrown.
    virtual size_t read(char* into, size_t most) = 0;
};

// Bytes held in memory by the caller.
class MemorySource final : public ByteSource, public LineCounter {
public:
    explicit MemorySource(std::string_view bytes) noexcept : bytes_(bytes), rest_(bytes) {}
    size_t read(char* into, size_t most) override;
    size_t newlines(uint64_t from, uint64_t to) override;

private:
    std::string_view bytes_, rest_;
};

// Whole lines of the file, or the stand-in of one long line.
struct LinePiece {
    std::string_view text;
    uint64_t at;    // where its first line starts in the file (its number: FileScan::line_at)
    bool stand_in;  // a long line's stand-in: the scan found nothing in it to hand on
};

class Window {
public:
    // `window`: see kWindow (less in tests, to cut every line somewhere); `buffer` is reused from
    // file to file.
    Window(ByteSource& source, FileScan& scan, size_t window, core::Text& buffer);

    // The next piece, scanned, valid until the next call; none at the end of the file. The next line
    // is held whole if `whole` or it fits into the window; `hits` get the scan's hits in the piece.
    std::optional<LinePiece> next(bool whole, std::vector<core::TextHits>& hits);
    // The file's last line: its number and text, once the end has come.
    size_t last_line() { return scan_.counts_as_it_goes() ? last_line_ : scan_.line_at(last_line_at_); }
    std::string_view last_line_text() const noexcept { return last_line_text_; }

private:
    // Reads the next piece after what is held; false at the end of the file.
    bool read_more();
    std::optional<LinePiece> lines_up_to(size_t end, std::vector<core::TextHits>& hits);
    // Scans the long line on, and hands its stand-in over once it has ended.
    std::optional<LinePiece> go_on_with_long_line();

    ByteSource& source_;
    FileScan& scan_;
    size_t window_, piece_;
    core::Text& buffer_;
    size_t begin_ = 0;             // the first byte not handed over
    size_t searched_ = 0;          // bytes from begin_ known to hold no newline
    bool ended_ = false;           // the source has no more bytes
    std::optional<LineProbe> long_line_;
    uint64_t long_line_at_ = 0;    // where it starts in the file
    size_t scanned_ = 0;           // of the long line: bytes from begin_ scanned
    std::string stand_in_;
    size_t last_line_ = 0;         // its number, where the scan counts lines as it goes
    uint64_t last_line_at_ = 0;    // where it starts in the file
    std::string last_line_text_;
};

}  // namespace columns
