#include "binding/read_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "binding/check.hpp"
#include "binding/io_error.hpp"
#include "binding/utf8.hpp"

namespace binding {
namespace {

[[noreturn]] void fail_read(const std::string& error_text,
                            std::source_location at = std::source_location::current()) {
    fail(kUnwrapErr + error_text, at);
}

// Closes the descriptor on every way out, failures included.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { ::close(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

int open_read_only(const std::string& path) {
    for (;;) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR) fail_read(os_error_text(errno));
    }
}

// Reads to the end of the file; the size only presizes, since files can grow or lie (FIFOs, /proc).
std::string read_all(int fd) {
    std::string text;
    struct stat status;
    size_t capacity = 0;
    if (::fstat(fd, &status) == 0 && status.st_size > 0) capacity = static_cast<size_t>(status.st_size);
    size_t length = 0;
    // One byte beyond the expected size, so that reaching the end needs no second buffer.
    text.resize(capacity + 1);
    for (;;) {
        if (length == text.size()) text.resize(text.size() < 4096 ? 8192 : text.size() * 2);
        ssize_t n = ::read(fd, text.data() + length, text.size() - length);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_read(os_error_text(errno));
        }
        length += static_cast<size_t>(n);
    }
    text.resize(length);
    return text;
}

}  // namespace

std::string read_to_string(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        fail_read(simple_error_text("InvalidInput", "file name contained an unexpected NUL byte"));
    }
    FileDescriptor file(open_read_only(std::string(path)));
    std::string text = read_all(file.get());
    if (!is_valid_utf8(text)) {
        fail_read(simple_error_text("InvalidData", "stream did not contain valid UTF-8"));
    }
    return text;
}

}  // namespace binding
