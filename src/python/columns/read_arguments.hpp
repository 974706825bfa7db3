#pragma once
// The arguments of skav_batch._columns.read, taken apart while the interpreter lock is held
// into values that the reading can use without it.

#include <vector>

#include "python/ref.hpp"
#include "columns/reader.hpp"

namespace python::columns {

// Each path's file-system bytes (as os.fsencode gives them) and, if it has no strict UTF-8
// form, why; each label's UTF-8. Throws PythonErrorSet: TypeError, ValueError.
std::vector<::columns::FileToRead> files_to_read(PyObject* paths, PyObject* files);

// "auto", "tddft" or "casscf". Throws PythonErrorSet: TypeError, ValueError.
::columns::Kind kind_argument(PyObject* kind);

}  // namespace python::columns
