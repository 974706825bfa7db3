#pragma once
// The arguments of skav_batch._columns.read, taken apart while the interpreter lock is held
// into values that the reading can use without it.

#include <memory>
#include <string>
#include <vector>

#include "columns/reader.hpp"
#include "python/ref.hpp"

namespace python::columns {

// The files to read, and the buffers of the contents given for some of them, held until the
// reading is over (release them with the interpreter lock held).
struct FilesToRead {
    std::vector<::columns::FileToRead> files;
    std::vector<std::unique_ptr<Py_buffer, void (*)(Py_buffer*)>> buffers;
};

// Each path's file-system bytes (as os.fsencode gives them) and, if it has no strict UTF-8
// form, why; each label's UTF-8; the content given for it in `contents` (None, or a sequence
// holding None or a bytes-like object for each file); what `stats` (None, or a sequence holding
// None or a tuple (bytes, mtime_ns, compression) for each file) says of it. Throws
// PythonErrorSet: TypeError, ValueError, OverflowError.
FilesToRead files_to_read(PyObject* paths, PyObject* files, PyObject* contents, PyObject* stats);

// The file-system bytes of a str path, as os.fsencode gives them; empty (naming no file) for a
// name without strict UTF-8 form. Throws PythonErrorSet.
std::string file_system_bytes(PyObject* path);

// "auto", "tddft" or "casscf". Throws PythonErrorSet: TypeError, ValueError.
::columns::Kind kind_argument(PyObject* kind);

}  // namespace python::columns
