#include "core/text.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace core {
namespace {

// Large texts are mapped with huge pages where the kernel offers them: a 200 MB file read
// through 4 KiB page faults spends more time faulting than reading.
constexpr size_t kMapThreshold = size_t{4} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

Text::Text(std::string_view text) : Text(with_capacity(text.size())) {
    if (!text.empty()) std::memcpy(data_, text.data(), text.size());
    size_ = text.size();
}

Text Text::with_capacity(size_t capacity) {
    Text text;
    if (capacity >= kMapThreshold) {
        size_t length = (capacity + kHugePage - 1) / kHugePage * kHugePage;
        void* memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        ::madvise(memory, length, MADV_HUGEPAGE);
#endif
        text.data_ = static_cast<char*>(memory);
        text.mapped_ = length;
        text.capacity_ = length;
    } else {
        text.data_ = static_cast<char*>(std::malloc(capacity ? capacity : 1));
        if (!text.data_) throw std::bad_alloc();
        text.capacity_ = capacity;
    }
    return text;
}

Text::Text(Text&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

Text& Text::operator=(Text&& other) noexcept {
    Text old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
    return *this;
}

Text::~Text() {
    if (mapped_) {
        ::munmap(data_, mapped_);
    } else {
        std::free(data_);
    }
}

void Text::move_front(size_t count, size_t at) noexcept {
    if (count == at) return;
    size_t kept = size_ - count;
    if (kept) std::memmove(data_ + at, data_ + count, kept);
    size_ = at + kept;
}

void Text::reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    Text larger = with_capacity(capacity);
    if (size_) std::memcpy(larger.data_, data_, size_);
    larger.size_ = size_;
    *this = std::move(larger);
}

}  // namespace core
