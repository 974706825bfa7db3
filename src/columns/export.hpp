#pragma once
// Tables handed over through the Arrow C data and C stream interfaces, without a copy.
// Every exported structure owns what it points to and frees it in its release callback, once;
// the buffers stay shared with the table, which may be exported again.

#include <memory>
#include <vector>

#include "columns/arrow_c.hpp"
#include "columns/table.hpp"

namespace columns {

// The schema of a table: a struct of its fields, each nullable. Leaves `out` as it was if
// memory runs out (std::bad_alloc).
void export_schema(const std::vector<Field>& fields, ArrowSchema* out);

// One batch as a struct array. Leaves `out` as it was if memory runs out (std::bad_alloc).
void export_batch(const BatchBuffers& batch, ArrowArray* out);

// A stream of the table's batches, holding the table for as long as the stream lives.
void export_stream(std::shared_ptr<const ColumnTable> table, ArrowArrayStream* out);

}  // namespace columns
