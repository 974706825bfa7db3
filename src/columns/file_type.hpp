#pragma once
// Telling a regular file from the rest without blocking: a named pipe or a device opened
// for reading can wait forever, or act on the device.

#include <optional>
#include <string>
#include <string_view>

namespace columns {

// What the file at `path` is when it is not a regular file, e.g. "a named pipe"; nothing for a
// regular file, or for a path that cannot be examined (reading it then fails as usual).
std::optional<std::string_view> irregular_file_at(const std::string& path) noexcept;
// The same for an open file.
std::optional<std::string_view> irregular_file(int descriptor) noexcept;

}  // namespace columns
