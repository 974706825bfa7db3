#include "python/columns/read_arguments.hpp"

#include <optional>
#include <string>
#include <utility>

#include "python/columns/stream_source.hpp"

namespace python::columns {
namespace {

// A str or bytes is a sequence too, of its characters: not what a caller means here.
Ref items_of(PyObject* sequence, const char* name, const char* item_type = "str") {
    if (PyUnicode_Check(sequence) || PyBytes_Check(sequence) || !PySequence_Check(sequence)) {
        PyErr_Format(PyExc_TypeError, "read() argument '%s' must be a sequence of %s, not %.200s", name, item_type,
                     Py_TYPE(sequence)->tp_name);
        throw PythonErrorSet{};
    }
    Ref items = Ref::steal(PySequence_Fast(sequence, ""));
    if (!items) throw PythonErrorSet{};
    return items;
}

PyObject* str_item(PyObject* items, Py_ssize_t index, const char* name) {
    PyObject* item = PySequence_Fast_GET_ITEM(items, index);
    if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "read() argument '%s' item %zd must be str, not %.200s", name, index,
                     Py_TYPE(item)->tp_name);
        throw PythonErrorSet{};
    }
    return item;
}

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw PythonErrorSet{};
    return {data, static_cast<size_t>(size)};
}

// The message of the UnicodeEncodeError that asking for the path's UTF-8 form raises, if it does.
std::optional<std::string> unencodable(PyObject* path) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(path, &size)) return std::nullopt;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonErrorSet{};
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref message = Ref::steal(PyObject_Str(error.get()));
    if (!message) throw PythonErrorSet{};
    return utf8_of(message.get());
}

void release_buffer(Py_buffer* buffer) {
    PyBuffer_Release(buffer);
    delete buffer;
}

void require_length(PyObject* items, const char* name, Py_ssize_t count) {
    if (PySequence_Fast_GET_SIZE(items) == count) return;
    PyErr_Format(PyExc_ValueError, "read() arguments 'paths' and '%s' differ in length: %zd and %zd", name, count,
                 PySequence_Fast_GET_SIZE(items));
    throw PythonErrorSet{};
}

// Where a value was found, named only when it is wrong: "argument 'contents' item 3", with
// `part` ("'s stat") when a supplier returned it.
struct Place {
    const char* argument;
    Py_ssize_t index;
    const char* part = "";
};

// "read() <place> must be <what it may be>, not <its type>"
[[noreturn]] void wrong_type(Place place, const char* allowed, PyObject* item) {
    PyErr_Format(PyExc_TypeError, "read() argument '%s' item %zd%s must be %s, not %.200s", place.argument, place.index,
                 place.part, allowed, Py_TYPE(item)->tp_name);
    throw PythonErrorSet{};
}

// A content: a ContentError says why it could not be had, a bytes-like object is the content,
// whose buffer is handed back to be held while the file is read; None leaves the file to be opened.
HeldBuffer take_content(PyObject* item, Place place, const char* allowed, PyObject* content_error,
                        ::columns::FileToRead& file) {
    if (item == Py_None) return {nullptr, nullptr};
    if (PyObject_TypeCheck(item, reinterpret_cast<PyTypeObject*>(content_error))) {
        file.content = unreadable_from(item);
        return {nullptr, nullptr};
    }
    HeldBuffer buffer(new Py_buffer, [](Py_buffer* b) { delete b; });
    if (PyObject_GetBuffer(item, buffer.get(), PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        wrong_type(place, allowed, item);
    }
    file.content = ::columns::Given{{static_cast<const char*>(buffer->buf), static_cast<size_t>(buffer->len)}};
    return {buffer.release(), release_buffer};
}

// A (bytes, mtime_ns, compression) stat, into the file it describes.
void take_stat(PyObject* item, Place place, ::columns::FileToRead& file) {
    PyObject* compression = PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 3 ? PyTuple_GET_ITEM(item, 2) : nullptr;
    if (!compression || !PyLong_Check(PyTuple_GET_ITEM(item, 0)) || !PyLong_Check(PyTuple_GET_ITEM(item, 1)) ||
        !(compression == Py_None || PyUnicode_Check(compression))) {
        wrong_type(place, "None or a tuple (bytes, mtime_ns, compression)", item);
    }
    unsigned long long bytes = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(item, 0));
    long long mtime_ns = PyLong_AsLongLong(PyTuple_GET_ITEM(item, 1));
    if (PyErr_Occurred()) throw PythonErrorSet{};  // OverflowError
    file.stamp = ::columns::FileStamp{bytes, mtime_ns};
    if (compression != Py_None) file.compression = utf8_of(compression);
}

}  // namespace

std::string file_system_bytes(PyObject* path) {
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!bytes) {
        // Only a name without strict UTF-8 form fails here (a surrogate that escapes no byte):
        // left empty, it names no file, and its rows say why it has no UTF-8 form.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonErrorSet{};
        PyErr_Clear();
        return {};
    }
    return {PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

FilesToRead files_to_read(PyObject* paths, PyObject* files, PyObject* contents, PyObject* stats, PyObject* content_error) {
    Ref path_items = items_of(paths, "paths");
    Ref label_items = items_of(files, "files");
    Py_ssize_t count = PySequence_Fast_GET_SIZE(path_items.get());
    require_length(label_items.get(), "files", count);
    Ref content_items;
    if (contents && contents != Py_None) {
        content_items = items_of(contents, "contents", "None, bytes-like objects, ContentErrors or callables");
        require_length(content_items.get(), "contents", count);
    }
    Ref stat_items;
    if (stats && stats != Py_None) {
        stat_items = items_of(stats, "stats", "None or tuples");
        require_length(stat_items.get(), "stats", count);
    }
    FilesToRead result;
    result.content_error = content_error;
    result.files.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* path = str_item(path_items.get(), i, "paths");
        std::string label = utf8_of(str_item(label_items.get(), i, "files"));
        result.files.push_back({file_system_bytes(path), std::move(label), unencodable(path)});
        PyObject* content = content_items ? PySequence_Fast_GET_ITEM(content_items.get(), i) : Py_None;
        if (PyCallable_Check(content)) {
            result.files.back().content = ::columns::Supplied{};
        } else if (HeldBuffer buffer = take_content(content, {"contents", i}, "None, bytes-like, a ContentError or callable",
                                                    content_error, result.files.back())) {
            result.buffers.push_back(std::move(buffer));
        }
        PyObject* stat = stat_items ? PySequence_Fast_GET_ITEM(stat_items.get(), i) : Py_None;
        if (stat != Py_None) take_stat(stat, {"stats", i}, result.files.back());
    }
    // A copy: the callables may change the sequence they were given in.
    if (content_items) result.contents = Ref::steal(PySequence_Tuple(content_items.get()));
    if (content_items && !result.contents) throw PythonErrorSet{};
    return result;
}

void take_supplied(FilesToRead& held, size_t index, ::columns::FileToRead& file, Unlocked& unlocked) {
    auto i = static_cast<Py_ssize_t>(index);
    held.supplied.reset();
    Ref returned = Ref::steal(PyObject_CallNoArgs(PySequence_Fast_GET_ITEM(held.contents.get(), i)));
    if (!returned) throw PythonErrorSet{};
    if (!PyTuple_Check(returned.get()) || PyTuple_GET_SIZE(returned.get()) != 2) {
        PyErr_Format(PyExc_TypeError, "read() argument 'contents' item %zd returned %.200s, not a tuple (content, stat)",
                     i, Py_TYPE(returned.get())->tp_name);
        throw PythonErrorSet{};
    }
    PyObject* stat = PyTuple_GET_ITEM(returned.get(), 1);
    if (stat != Py_None) take_stat(stat, {"contents", i, "'s stat"}, file);
    PyObject* content = PyTuple_GET_ITEM(returned.get(), 0);
    file.content = ::columns::OnDisk{};
    if (PyObject_HasAttrString(content, "read") && !PyObject_CheckBuffer(content)) {
        file.content = ::columns::Streamed{std::make_shared<StreamSource>(Ref::borrow(content), held.content_error, unlocked)};
        return;
    }
    held.supplied = take_content(content, {"contents", i, "'s content"}, "None, bytes-like, a ContentError or a reader",
                                 held.content_error, file);
}

::columns::Kind kind_argument(PyObject* kind) {
    if (!PyUnicode_Check(kind)) {
        PyErr_Format(PyExc_TypeError, "read() argument 'kind' must be str, not %.200s", Py_TYPE(kind)->tp_name);
        throw PythonErrorSet{};
    }
    std::optional<::columns::Kind> named = ::columns::kind_named(utf8_of(kind));
    if (!named) {
        PyErr_Format(PyExc_ValueError, "read() argument 'kind' must be 'auto', 'tddft' or 'casscf', not %R", kind);
        throw PythonErrorSet{};
    }
    return *named;
}

}  // namespace python::columns
