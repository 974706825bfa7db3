#pragma once
// Telling a regular file from the rest without blocking: a named pipe or a device opened
// for reading can wait forever, or act on the device.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace columns {

// What the file at `path` is when it is not a regular file, e.g. "a named pipe"; nothing for a
// regular file, or for a path that cannot be examined (reading it then fails as usual).
std::optional<std::string_view> irregular_file_at(const std::string& path) noexcept;
// A regular file's size and modification time, in nanoseconds since the epoch.
struct FileStamp {
    uint64_t bytes;
    int64_t mtime_ns;
};

// An open file: what it is when it is not a regular file, else its stamp; neither when it
// cannot be examined.
struct OpenFileStatus {
    std::optional<std::string_view> irregular;
    std::optional<FileStamp> stamp;
};
OpenFileStatus status_of(int descriptor) noexcept;

}  // namespace columns
