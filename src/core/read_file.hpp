#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/check.hpp"
#include "core/text.hpp"

namespace core {

// The whole file as validated UTF-8 text (a byte-order mark stays in it).
// Anything that stops that is a read failure.
Text read_to_string(std::string_view path);

// An open file, closed on every way out. Opening it fails as a read does.
class InputFile {
public:
    // Opens `path` read-only; `extra_flags` (e.g. O_NONBLOCK) go beside O_RDONLY | O_CLOEXEC.
    explicit InputFile(std::string_view path, int extra_flags = 0);
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
    int descriptor() const noexcept { return fd_; }
    // The rest of the file's bytes, unchecked.
    Text read_all();
    // The same into `text`, whose buffer is reused: a fresh one costs the kernel a cleared page
    // for every page it writes.
    void read_all_into(Text& text);
    // The same a piece at a time, for a caller that looks at each piece while it is in cache:
    // empties `text` and sizes it for the file, then reads up to `most` more bytes into it per
    // call, false at the end of the file.
    void start_reading_into(Text& text);
    bool read_more_into(Text& text, size_t most);
    // Up to `most` bytes into `into`; 0 at the end of the file.
    size_t read_some(char* into, size_t most);
    // The newlines among the file's bytes [from, to), read again (wherever the file stands).
    size_t newlines_between(uint64_t from, uint64_t to);

private:
    int fd_;
};

// Fails as the read of a file that is not UTF-8 does, naming where its first invalid byte stands.
void require_utf8(std::string_view text);
// The message of that failure.
std::string not_utf8_message();
// The failure of a text that is not UTF-8 where `location` says, as require_utf8 raises it.
CheckFailure not_utf8_failure(Location location);

}  // namespace core
