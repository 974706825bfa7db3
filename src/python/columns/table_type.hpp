#pragma once
// The Table type of skav_batch._columns: one finished table, handed to Arrow consumers
// (pyarrow, polars, DuckDB) through the PyCapsule protocol.

#include <memory>

#include "python/ref.hpp"
#include "columns/table.hpp"

namespace python::columns {

// A new heap type, defined in `module`. Throws PythonErrorSet.
Ref make_table_type(PyObject* module);

// A new Table of `type` (from make_table_type) holding `table`. Throws PythonErrorSet.
Ref make_table(PyTypeObject* type, std::shared_ptr<const ::columns::ColumnTable> table);

}  // namespace python::columns
