#pragma once
// The whole input as one owned buffer of UTF-8 text.

#include <cstddef>
#include <string_view>

namespace core {

class Text {
public:
    Text() = default;
    // A copy of `text`, for callers that already hold it in memory.
    explicit Text(std::string_view text);
    // An empty text with room for `capacity` bytes; throws std::bad_alloc.
    static Text with_capacity(size_t capacity);

    Text(Text&& other) noexcept;
    Text& operator=(Text&& other) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();

    std::string_view view() const noexcept { return {data_, size_}; }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }

    // Room to write after the current end, and how much of it was written.
    char* end() noexcept { return data_ + size_; }
    void grow_size(size_t written) noexcept { size_ += written; }
    // Empties the text and keeps its buffer, to be written again.
    void clear() noexcept { size_ = 0; }
    // Drops the first `count` bytes; the rest moves to the front.
    void erase_front(size_t count) noexcept { move_front(count, 0); }
    // Drops the first `count` bytes and moves the rest to start at `at` (within the capacity); the
    // bytes before `at` are stale.
    void move_front(size_t count, size_t at) noexcept;
    // Moves the content into a buffer of at least `capacity` bytes.
    void reserve(size_t capacity);

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t mapped_ = 0;  // bytes mapped, when the buffer came from mmap
};

}  // namespace core
