#include "python/columns/stream_source.hpp"

#include <cstring>
#include <new>
#include <string>

#include "columns/reader.hpp"
#include "python/failures.hpp"

namespace python::columns {
namespace {

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw PythonErrorSet{};
    return {data, static_cast<size_t>(size)};
}

}  // namespace

::columns::Unreadable unreadable_from(PyObject* content_error) {
    Ref args = Ref::steal(PyObject_GetAttrString(content_error, "args"));
    if (!args) throw PythonErrorSet{};
    if (!PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0)) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 1))) {
        PyErr_Format(PyExc_TypeError, "a ContentError holds two str (error, message), not %R", args.get());
        throw PythonErrorSet{};
    }
    return {utf8_of(PyTuple_GET_ITEM(args.get(), 0)), utf8_of(PyTuple_GET_ITEM(args.get(), 1))};
}

StreamSource::~StreamSource() {
    Unlocked::Relocked locked(unlocked_);
    // An exception on its way out of the call stays as it is.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (Ref closed = Ref::steal(PyObject_CallMethod(stream_.get(), "close", nullptr)); !closed) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
    stream_ = Ref();
}

size_t StreamSource::read(char* into, size_t most) {
    Unlocked::Relocked locked(unlocked_);
    Ref bytes = Ref::steal(PyObject_CallMethod(stream_.get(), "read", "n", static_cast<Py_ssize_t>(most)));
    if (!bytes) {
        if (PyErr_ExceptionMatches(content_error_)) {
            Ref error = Ref::steal(PyErr_GetRaisedException());
            ::columns::Unreadable unreadable = unreadable_from(error.get());
            throw ::columns::ContentFailure{std::move(unreadable.error), std::move(unreadable.message)};
        }
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        throw PythonErrorSet{};
    }
    Py_buffer view;
    if (PyObject_GetBuffer(bytes.get(), &view, PyBUF_SIMPLE) != 0) throw PythonErrorSet{};
    size_t size = static_cast<size_t>(view.len);
    if (size <= most && size) std::memcpy(into, view.buf, size);
    PyBuffer_Release(&view);
    if (size > most) {
        PyErr_Format(PyExc_ValueError, "a content reader's read(%zd) returned %zd bytes", static_cast<Py_ssize_t>(most),
                     static_cast<Py_ssize_t>(size));
        throw PythonErrorSet{};
    }
    return size;
}

}  // namespace python::columns
