#include "core/read_file.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/check.hpp"
#include "core/io_error.hpp"
#include "core/utf8.hpp"

namespace core {
namespace {

// Some systems refuse single reads of 2 GiB or more.
constexpr size_t kMaxRead = size_t{1} << 30;

[[noreturn]] void fail_read(const std::string& error_text, Location location = {},
                            std::source_location at = std::source_location::current()) {
    fail(kUnwrapErr + error_text, location, at);
}

int open_read_only(const std::string& path, int extra_flags) {
    for (;;) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_flags);
        if (fd >= 0) return fd;
        if (errno != EINTR) fail_read(os_error_text(errno));
    }
}

}  // namespace

InputFile::InputFile(std::string_view path, int extra_flags) {
    if (path.find('\0') != std::string_view::npos) {
        fail_read(simple_error_text("InvalidInput", "file name contained an unexpected NUL byte"));
    }
    fd_ = open_read_only(std::string(path), extra_flags);
}

InputFile::~InputFile() { ::close(fd_); }

Text InputFile::read_all() {
    Text text;
    read_all_into(text);
    return text;
}

// Reads to the end of the file; the size only presizes, since files can grow or lie (FIFOs, /proc).
void InputFile::read_all_into(Text& text) {
    start_reading_into(text);
    while (read_more_into(text, kMaxRead)) {
    }
}

void InputFile::start_reading_into(Text& text) {
    struct stat status;
    size_t expected = 0;
    if (::fstat(fd_, &status) == 0 && status.st_size > 0) expected = static_cast<size_t>(status.st_size);
    // One byte beyond the expected size, so that reaching the end needs no second buffer.
    text.clear();
    if (text.capacity() < expected + 1) {
        // A buffer read into again grows with room to spare: the files of a batch differ by a
        // few bytes, and each new buffer costs a cleared page for every page read into it.
        size_t room = text.capacity() ? std::max(expected + 1, text.capacity() + text.capacity() / 4) : expected + 1;
        text = Text::with_capacity(room);
    }
}

bool InputFile::read_more_into(Text& text, size_t most) {
    for (;;) {
        if (text.size() == text.capacity()) text.reserve(text.capacity() < 4096 ? 8192 : text.capacity() * 2);
        ssize_t n = ::read(fd_, text.end(), std::min({text.capacity() - text.size(), most, kMaxRead}));
        if (n == 0) return false;
        if (n > 0) {
            text.grow_size(static_cast<size_t>(n));
            return true;
        }
        if (errno != EINTR) fail_read(os_error_text(errno));
    }
}

size_t InputFile::read_some(char* into, size_t most) {
    for (;;) {
        ssize_t n = ::read(fd_, into, std::min(most, kMaxRead));
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) fail_read(os_error_text(errno));
    }
}

size_t InputFile::newlines_between(uint64_t from, uint64_t to) {
    constexpr size_t kPiece = size_t{1} << 20;
    std::unique_ptr<char[]> piece(new char[kPiece]);
    size_t newlines = 0;
    while (from < to) {
        ssize_t n = ::pread(fd_, piece.get(), static_cast<size_t>(std::min<uint64_t>(kPiece, to - from)),
                            static_cast<off_t>(from));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail_read(os_error_text(errno));
        if (n == 0) break;  // the file has shrunk since
        newlines += static_cast<size_t>(std::count(piece.get(), piece.get() + n, '\n'));
        from += static_cast<uint64_t>(n);
    }
    return newlines;
}

std::string not_utf8_message() {
    return kUnwrapErr + simple_error_text("InvalidData", "stream did not contain valid UTF-8");
}

CheckFailure not_utf8_failure(Location location) {
    return CheckFailure(not_utf8_message(), location, std::source_location::current());
}

void require_utf8(std::string_view text) {
    if (size_t bad = first_invalid_utf8(text); bad != std::string_view::npos) {
        Location location = Location::invalid_utf8_at(bad);
        location.resolve(text);
        CheckFailure failure = not_utf8_failure(location);
        failure.report();
        throw failure;
    }
}

Text read_to_string(std::string_view path) {
    InputFile file(path);
    Text text = file.read_all();
    require_utf8(text.view());
    return text;
}

}  // namespace core
