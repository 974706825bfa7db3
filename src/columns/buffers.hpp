#pragma once
// Growable typed buffers, one per column, laid out as Arrow arrays are: grown by appending,
// read in place by the export once no more rows come.

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace columns {

// The most bytes a string column's data may hold: its offsets are 32-bit.
inline constexpr size_t kMaxStringBytes = std::numeric_limits<int32_t>::max();

// One array's length and buffers, as the C data interface hands them over.
struct ArrayBuffers {
    int64_t length = 0;
    int64_t null_count = 0;
    int64_t n_buffers = 0;
    std::array<const void*, 3> buffers{};
};

// Stands in for an empty buffer: some consumers reject a null pointer even where nothing is read.
inline const void* non_null(const void* data) {
    static constexpr uint64_t kNothing = 0;
    return data ? data : &kNothing;
}

// Room for `more` items beyond those held: at least twice the room so far, so that many small
// additions cost linear time, and exactly what one large addition needs (a doubling there
// would hold up to twice the memory).
template <typename Buffer>
void reserve_more(Buffer& buffer, size_t more) {
    size_t needed = buffer.size() + more;
    if (needed > buffer.capacity()) buffer.reserve(std::max(needed, 2 * buffer.capacity()));
}

// Bits packed eight to a byte, the first in the lowest bit, as Arrow lays them out.
class PackedBits {
public:
    void append(bool bit) {
        if (size_ % 8 == 0) bits_.push_back(0);
        if (bit) bits_.back() |= static_cast<uint8_t>(1u << (size_ % 8));
        ++size_;
    }
    // `count` bits set, in place of those held; the bits past them stay clear.
    void assign_set(size_t count) {
        bits_.assign((count + 7) / 8, 0xFF);
        if (count % 8) bits_.back() = static_cast<uint8_t>((1u << (count % 8)) - 1);
        size_ = count;
    }
    void reserve_more(size_t more) { columns::reserve_more(bits_, (size_ + more + 7) / 8 - bits_.size()); }
    // Keeps the first `count` bits.
    void truncate(size_t count) noexcept {
        bits_.resize((count + 7) / 8);
        if (count % 8) bits_.back() &= static_cast<uint8_t>((1u << (count % 8)) - 1);
        size_ = count;
    }
    // How many of the first `count` bits are clear.
    size_t clear_bits(size_t count) const noexcept {
        size_t set = 0;
        for (size_t i = 0; i < count; ++i) set += (bits_[i / 8] >> (i % 8)) & 1;
        return count - set;
    }
    size_t size() const noexcept { return size_; }
    const uint8_t* data() const noexcept { return bits_.data(); }

private:
    std::vector<uint8_t> bits_;
    size_t size_ = 0;
};

// Which rows hold a value; takes no memory until the first null.
class ValidityBitmap {
public:
    void append(bool valid) {
        if (!valid && nulls_ == 0) bits_.assign_set(size_);  // the rows so far, all valid
        if (nulls_ > 0 || !valid) bits_.append(valid);
        nulls_ += valid ? 0 : 1;
        ++size_;
    }
    size_t nulls() const noexcept { return nulls_; }
    // Keeps the first `count` rows. Bits kept without a null are set anew at the next null.
    void truncate(size_t count) noexcept {
        if (nulls_ > 0) {
            bits_.truncate(count);
            nulls_ = bits_.clear_bits(count);
        }
        size_ = count;
    }
    // Null while every row holds a value, as the C data interface allows.
    const void* data() const noexcept { return nulls_ ? bits_.data() : nullptr; }

private:
    PackedBits bits_;
    size_t size_ = 0;
    size_t nulls_ = 0;
};

template <typename T>
constexpr const char* arrow_format() {
    if constexpr (std::is_same_v<T, uint32_t>) return "I";
    if constexpr (std::is_same_v<T, float>) return "f";
    if constexpr (std::is_same_v<T, double>) return "g";
    if constexpr (std::is_same_v<T, uint8_t>) return "C";
    if constexpr (std::is_same_v<T, int8_t>) return "c";
    if constexpr (std::is_same_v<T, uint64_t>) return "L";
    if constexpr (std::is_same_v<T, int64_t>) return "l";
}

// Values of one fixed-width type, never null.
template <typename T>
class FixedWidthColumn {
public:
    static constexpr const char* kFormat = arrow_format<T>();
    void append(T value) { values_.push_back(value); }
    void reserve_more(size_t rows, size_t) { columns::reserve_more(values_, rows); }
    void truncate(size_t rows) noexcept { values_.resize(rows); }
    // The string bytes this column would hold with `value` appended: none.
    size_t bytes_with(T) const noexcept { return 0; }
    ArrayBuffers buffers() const {
        return {static_cast<int64_t>(values_.size()), 0, 2, {nullptr, non_null(values_.data())}};
    }

private:
    std::vector<T> values_;
};

// Values of one fixed-width type, or nulls.
template <typename T>
class NullableColumn {
public:
    static constexpr const char* kFormat = arrow_format<T>();
    void append(std::optional<T> value) {
        values_.append(value.value_or(T{}));
        validity_.append(value.has_value());
    }
    void reserve_more(size_t rows, size_t) { values_.reserve_more(rows, 0); }
    void truncate(size_t rows) noexcept {
        values_.truncate(rows);
        validity_.truncate(rows);
    }
    size_t bytes_with(std::optional<T>) const noexcept { return 0; }
    ArrayBuffers buffers() const {
        ArrayBuffers buffers = values_.buffers();
        buffers.null_count = static_cast<int64_t>(validity_.nulls());
        buffers.buffers[0] = validity_.data();
        return buffers;
    }

private:
    FixedWidthColumn<T> values_;
    ValidityBitmap validity_;
};

// Booleans, never null: one bit each.
class BoolColumn {
public:
    static constexpr const char* kFormat = "b";
    void append(bool value) { values_.append(value); }
    void reserve_more(size_t rows, size_t) { values_.reserve_more(rows); }
    void truncate(size_t rows) noexcept { values_.truncate(rows); }
    size_t bytes_with(bool) const noexcept { return 0; }
    ArrayBuffers buffers() const {
        return {static_cast<int64_t>(values_.size()), 0, 2, {nullptr, non_null(values_.data())}};
    }

private:
    PackedBits values_;
};

// UTF-8 strings or nulls: 32-bit offsets into one data buffer.
class StringColumn {
public:
    static constexpr const char* kFormat = "u";
    StringColumn() : offsets_{0} {}
    void append(std::string_view value) {
        data_.append(value);
        offsets_.push_back(static_cast<int32_t>(data_.size()));
        validity_.append(true);
    }
    void append(std::optional<std::string_view> value) {
        if (value) return append(*value);
        offsets_.push_back(offsets_.back());
        validity_.append(false);
    }
    // Room for `rows` more rows of `bytes` in all.
    void reserve_more(size_t rows, size_t bytes) {
        columns::reserve_more(offsets_, rows);
        columns::reserve_more(data_, bytes);
    }
    void truncate(size_t rows) noexcept {
        offsets_.resize(rows + 1);
        data_.resize(static_cast<size_t>(offsets_.back()));
        validity_.truncate(rows);
    }
    size_t bytes_with(std::string_view value) const noexcept { return data_.size() + value.size(); }
    size_t bytes_with(std::optional<std::string_view> value) const noexcept {
        return data_.size() + (value ? value->size() : 0);
    }
    ArrayBuffers buffers() const {
        return {static_cast<int64_t>(offsets_.size() - 1), static_cast<int64_t>(validity_.nulls()), 3,
                {validity_.data(), offsets_.data(), data_.data()}};
    }

private:
    std::vector<int32_t> offsets_;
    std::string data_;
    ValidityBitmap validity_;
};

}  // namespace columns
