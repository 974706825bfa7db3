#include "columns/file_type.hpp"

#include <sys/stat.h>

namespace columns {
namespace {

std::optional<std::string_view> irregular(const struct stat& status) noexcept {
    mode_t mode = status.st_mode;
    if (S_ISREG(mode)) return std::nullopt;
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a file of unknown type";
}

}  // namespace

std::optional<std::string_view> irregular_file_at(const std::string& path) noexcept {
    struct stat status;
    // A name holding a NUL would be cut short there: it names no file.
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &status) != 0) return std::nullopt;
    return irregular(status);
}

OpenFileStatus status_of(int descriptor) noexcept {
    struct stat status;
    if (::fstat(descriptor, &status) != 0) return {};
    if (std::optional<std::string_view> what = irregular(status)) return {what, std::nullopt};
#ifdef __APPLE__
    const struct timespec& mtime = status.st_mtimespec;
#else
    const struct timespec& mtime = status.st_mtim;
#endif
    return {std::nullopt, FileStamp{static_cast<uint64_t>(status.st_size),
                                    int64_t{mtime.tv_sec} * 1'000'000'000 + mtime.tv_nsec}};
}

}  // namespace columns
