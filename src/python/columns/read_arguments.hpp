#pragma once
// The arguments of skav_batch._columns.read, taken apart while the interpreter lock is held
// into values that the reading can use without it.

#include <memory>
#include <string>
#include <vector>

#include "columns/reader.hpp"
#include "python/columns/unlocked.hpp"
#include "python/ref.hpp"

namespace python::columns {

using HeldBuffer = std::unique_ptr<Py_buffer, void (*)(Py_buffer*)>;

// The files to read, and the buffers of the contents given for some of them, held until the
// reading is over (release them with the interpreter lock held).
struct FilesToRead {
    std::vector<::columns::FileToRead> files;
    std::vector<HeldBuffer> buffers;
    Ref contents;  // the items of `contents`, whose callables supply contents during the reading
    HeldBuffer supplied{nullptr, nullptr};  // the content supplied last
    PyObject* content_error;  // the type of a content that failed: (error, message)
};

// Each path's file-system bytes (as os.fsencode gives them) and, if it has no strict UTF-8
// form, why; each label's UTF-8; the content given for it in `contents` (None, or a sequence
// holding for each file None, a bytes-like object, a ContentError or a callable); what `stats`
// (None, or a sequence holding None or a tuple (bytes, mtime_ns, compression) for each file) says
// of it. Throws PythonErrorSet: TypeError, ValueError, OverflowError.
FilesToRead files_to_read(PyObject* paths, PyObject* files, PyObject* contents, PyObject* stats, PyObject* content_error);

// Calls the callable that `contents` holds for file `index` (with the interpreter lock held) and
// takes the (content, stat) it returns into `file`: a content as an item of `contents` is taken,
// or a reader of it (read(size), close()); a stat as an item of `stats`. The content's buffer is
// held in place of the one supplied before. Throws PythonErrorSet.
void take_supplied(FilesToRead& held, size_t index, ::columns::FileToRead& file, Unlocked& unlocked);

// The file-system bytes of a str path, as os.fsencode gives them; empty (naming no file) for a
// name without strict UTF-8 form. Throws PythonErrorSet.
std::string file_system_bytes(PyObject* path);

// "auto", "tddft" or "casscf". Throws PythonErrorSet: TypeError, ValueError.
::columns::Kind kind_argument(PyObject* kind);

}  // namespace python::columns
