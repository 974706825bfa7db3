#pragma once
// A file's content from a Python reader (e.g. of a compressed file), a piece at a time: its
// read(size) is called with the interpreter lock taken back, the work done in between without it.

#include "columns/reader.hpp"
#include "python/columns/unlocked.hpp"
#include "python/ref.hpp"

namespace python::columns {

class StreamSource final : public ::columns::ByteSource {
public:
    // `stream` has read(size) and may have close(); `content_error` is the exception type whose
    // (error, message) is the file's failure row. `unlocked` outlives the source.
    StreamSource(Ref stream, PyObject* content_error, Unlocked& unlocked) noexcept
        : stream_(std::move(stream)), content_error_(content_error), unlocked_(unlocked) {}
    // Closes the reader.
    ~StreamSource() override;
    // Throws ::columns::ContentFailure for the content error, std::bad_alloc for a MemoryError, and
    // PythonErrorSet for any other exception, which ends the call.
    size_t read(char* into, size_t most) override;

private:
    Ref stream_;
    PyObject* content_error_;
    Unlocked& unlocked_;
};

// The (error, message) of a content error, e.g. ("DecompressionError", "Corrupt input data").
// Throws PythonErrorSet when they are not two str.
::columns::Unreadable unreadable_from(PyObject* content_error);

}  // namespace python::columns
