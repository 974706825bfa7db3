#pragma once
// A table as typed columns, grown row by row in batches, and its finished form that the
// Arrow export reads: every batch shared, so that each exported array keeps its own alive.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "columns/buffers.hpp"

namespace columns {

struct Field {
    const char* name;
    const char* format;
};

struct BatchBuffers {
    int64_t rows;
    std::vector<ArrayBuffers> columns;
    std::shared_ptr<const void> owner;  // keeps the buffers alive
};

struct ColumnTable {
    std::vector<Field> fields;
    std::vector<BatchBuffers> batches;
    int64_t rows = 0;
};

template <typename... Columns>
class Table {
public:
    using Names = std::array<const char*, sizeof...(Columns)>;

    // A new batch starts before a string column's data would pass `string_limit` bytes;
    // a row longer than that on its own gets a batch of its own.
    Table(const Names& names, size_t string_limit) : names_(names), limit_(string_limit) { start_batch(); }

    // Appends one row: a value for each column, in order.
    template <typename... Values>
    void append(const Values&... values) {
        static_assert(sizeof...(Values) == sizeof...(Columns));
        if (batches_.back()->rows > 0 && bytes_with(values...) > limit_) start_batch();
        if (bytes_with(values...) > kMaxStringBytes) throw std::length_error("a row too long for a string column");
        append_to(batches_.back()->columns, std::index_sequence_for<Columns...>{}, values...);
        ++batches_.back()->rows;
        ++rows_;
    }

    // Room for `rows` more rows, whose first column (the file's name) holds `first_bytes` in all.
    void reserve_more(size_t rows, size_t first_bytes) {
        if (batches_.back()->rows > 0 && bytes_with(batches_.back()->columns, first_bytes) > limit_) return;
        reserve_more(batches_.back()->columns, rows, first_bytes, std::index_sequence_for<Columns...>{});
    }

    // Where the table stands, to go back to when rows after it cannot all be added.
    struct Mark {
        size_t batches, batch_rows, rows;
    };
    Mark mark() const noexcept { return {batches_.size(), batches_.back()->rows, rows_}; }
    void roll_back(const Mark& mark) noexcept {
        batches_.resize(mark.batches);
        truncate(batches_.back()->columns, mark.batch_rows, std::index_sequence_for<Columns...>{});
        batches_.back()->rows = mark.batch_rows;
        rows_ = mark.rows;
    }

    ColumnTable finish() const {
        ColumnTable table{fields(std::index_sequence_for<Columns...>{}), {}, static_cast<int64_t>(rows_)};
        for (const std::shared_ptr<Batch>& batch : batches_) {
            table.batches.push_back({static_cast<int64_t>(batch->rows),
                                     buffers(batch->columns, std::index_sequence_for<Columns...>{}), batch});
        }
        return table;
    }

private:
    struct Batch {
        std::tuple<Columns...> columns;
        size_t rows = 0;
    };

    void start_batch() { batches_.push_back(std::make_shared<Batch>()); }

    // The most bytes any string column of the last batch would hold with this row.
    template <typename... Values>
    size_t bytes_with(const Values&... values) const {
        return bytes_with(batches_.back()->columns, std::index_sequence_for<Columns...>{}, values...);
    }
    template <size_t... I, typename... Values>
    static size_t bytes_with(const std::tuple<Columns...>& columns, std::index_sequence<I...>,
                             const Values&... values) {
        return std::max({size_t{0}, std::get<I>(columns).bytes_with(values)...});
    }
    static size_t bytes_with(const std::tuple<Columns...>& columns, size_t first_bytes) {
        return std::get<0>(columns).bytes_with(std::string_view()) + first_bytes;
    }
    template <size_t... I>
    static void reserve_more(std::tuple<Columns...>& columns, size_t rows, size_t first_bytes, std::index_sequence<I...>) {
        (std::get<I>(columns).reserve_more(rows, I == 0 ? first_bytes : 0), ...);
    }
    template <size_t... I>
    static void truncate(std::tuple<Columns...>& columns, size_t rows, std::index_sequence<I...>) noexcept {
        (std::get<I>(columns).truncate(rows), ...);
    }
    template <size_t... I, typename... Values>
    static void append_to(std::tuple<Columns...>& columns, std::index_sequence<I...>, const Values&... values) {
        (std::get<I>(columns).append(values), ...);
    }
    template <size_t... I>
    std::vector<Field> fields(std::index_sequence<I...>) const {
        return {Field{names_[I], Columns::kFormat}...};
    }
    template <size_t... I>
    static std::vector<ArrayBuffers> buffers(const std::tuple<Columns...>& columns, std::index_sequence<I...>) {
        return {std::get<I>(columns).buffers()...};
    }

    Names names_;
    size_t limit_;
    size_t rows_ = 0;
    std::vector<std::shared_ptr<Batch>> batches_;
};

}  // namespace columns
