#include "columns/export.hpp"

#include <cerrno>
#include <new>

namespace columns {
namespace {

// What a struct schema or array owns: its children, which a consumer may move out and
// release on their own, and the struct array's one buffer (no validity bitmap).
template <typename Struct>
struct Children {
    explicit Children(size_t count) : structs(count), pointers(count) {
        for (size_t i = 0; i < count; ++i) pointers[i] = &structs[i];
    }
    std::vector<Struct> structs;
    std::vector<Struct*> pointers;
    const void* buffers[1] = {nullptr};
};

template <typename Struct>
void release_with_children(Struct* parent) {
    auto* children = static_cast<Children<Struct>*>(parent->private_data);
    for (Struct* child : children->pointers) {
        if (child->release) child->release(child);
    }
    delete children;
    parent->release = nullptr;
}

// A field's name and format are literals: it owns nothing.
void release_field(ArrowSchema* field) { field->release = nullptr; }

// What a column's array owns: its buffer list, and a share of the batch behind the buffers.
struct ColumnArray {
    std::shared_ptr<const void> owner;
    std::array<const void*, 3> buffers;
};

void release_column(ArrowArray* array) {
    delete static_cast<ColumnArray*>(array->private_data);
    array->release = nullptr;
}

// Fills `out`, which then owns `own` and points into it.
void fill_column(const ArrayBuffers& buffers, ColumnArray* own, ArrowArray* out) noexcept {
    *out = ArrowArray{buffers.length, buffers.null_count, 0, buffers.n_buffers, 0, own->buffers.data(),
                      nullptr, nullptr, release_column, own};
}

struct StreamState {
    std::shared_ptr<const ColumnTable> table;
    size_t next = 0;
    const char* error = nullptr;
};

StreamState& state_of(ArrowArrayStream* stream) { return *static_cast<StreamState*>(stream->private_data); }

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    try {
        export_schema(state_of(stream).table->fields, out);
        return 0;
    } catch (const std::bad_alloc&) {
        state_of(stream).error = "out of memory";
        return ENOMEM;
    }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamState& state = state_of(stream);
    if (state.next == state.table->batches.size()) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        export_batch(state.table->batches[state.next], out);
        ++state.next;
        return 0;
    } catch (const std::bad_alloc&) {
        state.error = "out of memory";
        return ENOMEM;
    }
}

const char* get_last_error(ArrowArrayStream* stream) noexcept { return state_of(stream).error; }

void release_stream(ArrowArrayStream* stream) noexcept {
    delete &state_of(stream);
    stream->release = nullptr;
}

}  // namespace

void export_schema(const std::vector<Field>& fields, ArrowSchema* out) {
    auto children = std::make_unique<Children<ArrowSchema>>(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        children->structs[i] = ArrowSchema{fields[i].format, fields[i].name, nullptr, ARROW_FLAG_NULLABLE, 0,
                                           nullptr, nullptr, release_field, nullptr};
    }
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(fields.size()), children->pointers.data(),
                       nullptr, release_with_children<ArrowSchema>, children.get()};
    children.release();
}

void export_batch(const BatchBuffers& batch, ArrowArray* out) {
    auto children = std::make_unique<Children<ArrowArray>>(batch.columns.size());
    std::vector<std::unique_ptr<ColumnArray>> columns;
    for (const ArrayBuffers& buffers : batch.columns) {
        columns.push_back(std::make_unique<ColumnArray>(ColumnArray{batch.owner, buffers.buffers}));
    }
    // Nothing below can fail: ownership passes to the structures.
    for (size_t i = 0; i < columns.size(); ++i) {
        fill_column(batch.columns[i], columns[i].release(), &children->structs[i]);
    }
    *out = ArrowArray{batch.rows, 0, 0, 1, static_cast<int64_t>(columns.size()), children->buffers,
                      children->pointers.data(), nullptr, release_with_children<ArrowArray>, children.get()};
    children.release();
}

void export_stream(std::shared_ptr<const ColumnTable> table, ArrowArrayStream* out) {
    auto state = std::make_unique<StreamState>(StreamState{std::move(table)});
    *out = ArrowArrayStream{get_schema, get_next, get_last_error, release_stream, state.release()};
}

}  // namespace columns
