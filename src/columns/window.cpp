#include "columns/window.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace columns {
namespace {

// Enough of a line for the 200 characters that a note shows of it, and more.
constexpr size_t kLastLineKept = 1024;
constexpr size_t kPage = 4096;
constexpr size_t kMovedToAlign = size_t{64} << 10;

const char* last_newline(const char* from, size_t size) noexcept {
    return size ? static_cast<const char*>(::memrchr(from, '\n', size)) : nullptr;
}

const char* first_newline(const char* from, size_t size) noexcept {
    return size ? static_cast<const char*>(std::memchr(from, '\n', size)) : nullptr;
}

}  // namespace

size_t MemorySource::read(char* into, size_t most) {
    size_t n = std::min(most, rest_.size());
    if (n) std::memcpy(into, rest_.data(), n);
    rest_.remove_prefix(n);
    return n;
}

size_t MemorySource::newlines(uint64_t from, uint64_t to) {
    return static_cast<size_t>(std::count(bytes_.begin() + static_cast<ptrdiff_t>(from),
                                          bytes_.begin() + static_cast<ptrdiff_t>(to), '\n'));
}

Window::Window(ByteSource& source, FileScan& scan, size_t window, core::Text& buffer)
    : source_(source), scan_(scan), window_(std::max<size_t>(window, 1)), piece_(std::min(window_, kPiece)),
      buffer_(buffer) {
    buffer_.clear();
}

std::optional<LinePiece> Window::next(bool whole, std::vector<core::TextHits>& hits) {
    for (;;) {
        if (long_line_) {
            if (std::optional<LinePiece> piece = go_on_with_long_line()) return piece;
            read_more();
            continue;
        }
        const char* data = buffer_.view().data();
        size_t held = buffer_.size() - begin_;
        if (const char* newline = last_newline(data + begin_ + searched_, held - searched_)) {
            return lines_up_to(static_cast<size_t>(newline - data) + 1, hits);
        }
        searched_ = held;
        if (ended_) {
            if (held == 0) return std::nullopt;
            return lines_up_to(buffer_.size(), hits);  // the last line, without a newline
        }
        // Longer than the window and looked at for headings only: it passes a part at a time.
        if (!whole && held > window_) {
            long_line_.emplace();
            long_line_at_ = scan_.offset();
            scanned_ = 0;
            continue;
        }
        read_more();
    }
}

bool Window::read_more() {
    if (ended_) return false;
    size_t held = buffer_.size() - begin_;
    if (buffer_.capacity() < held + piece_ + kPage) {
        buffer_.erase_front(begin_);
        begin_ = 0;
        buffer_.reserve(std::max(held + piece_ + kPage, 2 * buffer_.capacity()));
    }
    // A few held bytes go where the next piece lands on a page boundary: the kernel copies into a
    // place just past one at a half to a quarter of its speed. Many stay where they are (a source
    // that reads short pieces would move them again at each read).
    auto end = reinterpret_cast<uintptr_t>(buffer_.view().data()) + held;
    size_t at = held <= kMovedToAlign ? (kPage - end % kPage) % kPage : 0;
    buffer_.move_front(begin_, at);
    begin_ = at;
    size_t read = source_.read(buffer_.end(), piece_);
    if (read == 0) {
        ended_ = true;
        return false;
    }
    buffer_.grow_size(read);
    return true;
}

std::optional<LinePiece> Window::lines_up_to(size_t end, std::vector<core::TextHits>& hits) {
    std::string_view lines = buffer_.view().substr(begin_, end - begin_);
    uint64_t at = scan_.offset();
    scan_.scan_lines(lines, hits);
    begin_ = end;
    searched_ = 0;
    // The last line, as the line cursor hands it out, for a failure at the end of the file.
    bool newline = lines.back() == '\n';
    std::string_view last = lines.substr(0, lines.size() - (newline ? 1 : 0));
    if (const char* before = last_newline(last.data(), last.size())) last.remove_prefix(static_cast<size_t>(before - last.data()) + 1);
    last_line_at_ = at + static_cast<uint64_t>(last.data() - lines.data());
    if (newline && !last.empty() && last.back() == '\r') last.remove_suffix(1);
    if (scan_.counts_as_it_goes()) last_line_ = scan_.line_at(scan_.offset()) - (newline ? 1 : 0);
    last_line_text_ = last.substr(0, kLastLineKept);
    return LinePiece{lines, at, false};
}

std::optional<LinePiece> Window::go_on_with_long_line() {
    const char* data = buffer_.view().data();
    std::string_view part = buffer_.view().substr(begin_);
    const char* newline = first_newline(data + begin_ + scanned_, part.size() - scanned_);
    if (!newline && !ended_) {
        size_t to = scan_.scan_line_part(part, scanned_, false);
        long_line_->feed(part.substr(scanned_, to - scanned_));
        // What is scanned goes, but for the bytes that a heading holds before its needle.
        size_t gone = to > FileScan::kBefore ? to - FileScan::kBefore : 0;
        begin_ += gone;
        scanned_ = to - gone;
        return std::nullopt;
    }
    if (newline) part = part.substr(0, static_cast<size_t>(newline - data) - begin_);
    scan_.scan_line_part(part, scanned_, true);
    if (scan_.counts_as_it_goes()) last_line_ = scan_.line_at(scan_.offset());
    long_line_->feed(part.substr(scanned_));
    stand_in_ = long_line_->end(newline != nullptr);
    scan_.end_line_part(newline != nullptr);
    long_line_.reset();
    begin_ += part.size() + (newline ? 1 : 0);
    searched_ = 0;
    last_line_at_ = long_line_at_;
    last_line_text_ = stand_in_;
    // A stand-in is its text's one line, kept as it is: an empty one needs its newline.
    if (stand_in_.empty()) stand_in_.push_back('\n');
    return LinePiece{stand_in_, long_line_at_, true};
}

}  // namespace columns
