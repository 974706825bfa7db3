// The module skav_batch._columns: the six tables of many files as Arrow columns, built
// without a Python object per value, and without the interpreter lock while it reads.

#include <new>
#include <optional>
#include <span>
#include <stdexcept>

#include "columns/file_type.hpp"
#include "columns/parser_table.hpp"
#include "columns/reader.hpp"
#include "core/debug_text.hpp"
#include "python/arguments.hpp"
#include "python/columns/read_arguments.hpp"
#include "python/columns/table_type.hpp"
#include "python/columns/unlocked.hpp"
#include "python/failures.hpp"
#include "python/ref.hpp"

namespace python::columns {
namespace {

struct ModuleState {
    PyObject* table_type;
    PyObject* content_error;
};

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// Reading, parsing and building columns touch no Python object: other threads run meanwhile. The
// lock is taken back only to call a supplier of content, or a reader of it, file by file.
::columns::Reading read_unlocked(FilesToRead& files, ::columns::Kind kind, size_t window, bool report) {
    std::optional<::columns::Reading> reading;
    bool out_of_memory = false;
    bool python_error = false;
    {
        Unlocked unlocked;
        auto supply = [&](size_t index, ::columns::FileToRead& file) {
            Unlocked::Relocked locked(unlocked);
            take_supplied(files, index, file, unlocked);
        };
        try {
            reading = ::columns::read_files(files.files, kind, supply, window, report);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        } catch (const std::length_error&) {
            out_of_memory = true;
        } catch (const PythonErrorSet&) {
            python_error = true;  // raised by a supplier or a reader, and still set
        }
    }
    if (python_error) throw PythonErrorSet{};
    if (out_of_memory) throw std::bad_alloc();
    return std::move(*reading);
}

// The window of a reading: the default, or (for tests) as many bytes as asked.
size_t window_argument(PyObject* window) {
    if (!window || window == Py_None) return ::columns::kWindow;
    size_t bytes = PyLong_AsSize_t(window);
    if (bytes == static_cast<size_t>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
    if (bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "read() argument 'window' must be at least 1");
        throw PythonErrorSet{};
    }
    return bytes;
}

// A tuple of str, from texts that convert to std::string_view.
template <typename Texts>
Ref text_tuple(const Texts& texts) {
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(std::size(texts))));
    Py_ssize_t i = 0;
    for (std::string_view text : texts) {
        Ref item = checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        PyTuple_SET_ITEM(tuple.get(), i++, item.release());
    }
    return tuple;
}

// For each file, the names of the parsers that gave a result.
Ref results_of(const std::vector<uint32_t>& results) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (size_t i = 0; i < results.size(); ++i) {
        std::vector<std::string_view> names;
        for (size_t p = 0; p < ::columns::kParsers.size(); ++p) {
            if (results[i] >> p & 1) names.push_back(::columns::kParsers[p].name);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text_tuple(names).release());
    }
    return list;
}

// ({name: Table}, files with a failure row[, results_of])
Ref result_of(const ModuleState& state, ::columns::Reading reading, bool with_results) {
    Ref tables = checked(PyDict_New());
    auto* type = reinterpret_cast<PyTypeObject*>(state.table_type);
    for (auto& [name, table] : reading.tables) {
        Ref object = make_table(type, std::make_shared<const ::columns::ColumnTable>(std::move(table)));
        check_status(PyDict_SetItemString(tables.get(), name, object.get()));
    }
    Ref failed = checked(PyLong_FromSize_t(reading.failed_files));
    if (!with_results) return checked(PyTuple_Pack(2, tables.get(), failed.get()));
    return checked(PyTuple_Pack(3, tables.get(), failed.get(), results_of(reading.results).get()));
}

const FunctionDescription<7> kRead{"read", {"paths", "files", "kind", "contents", "stats", "window", "results"}, 3};

PyObject* read(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return translating_failures([&] {
        auto [paths, labels, kind_name, contents, stats, window, results] = bind_arguments(kRead, args, nargs, kwnames);
        FilesToRead files = files_to_read(paths, labels, contents, stats, state_of(module).content_error);
        ::columns::Kind kind = kind_argument(kind_name);
        size_t window_bytes = window_argument(window);
        int with_results = results ? PyObject_IsTrue(results) : 0;
        if (with_results < 0) throw PythonErrorSet{};
        // The results of the module's calls come with the reports its calls write.
        bool as_calls = with_results == 1;
        return result_of(state_of(module), read_unlocked(files, kind, window_bytes, as_calls), as_calls).release();
    });
}

// quoted(text): `text` in double quotes as notes and messages write it, e.g. the path in a note.
PyObject* quoted(PyObject*, PyObject* text) noexcept {
    return translating_failures([&] {
        std::string out;
        core::append_quoted(out, extract_str(text, "text"));
        return checked(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()))).release();
    });
}

// irregular_file(path): what the path is when it is no regular file, as the tables' rows say it
// ("a named pipe", ...), found without opening it; None for a regular file or one that cannot
// be examined.
PyObject* irregular_file(PyObject*, PyObject* path) noexcept {
    return translating_failures([&]() -> PyObject* {
        if (!PyUnicode_Check(path)) {
            PyErr_Format(PyExc_TypeError, "irregular_file() argument must be str, not %.200s", Py_TYPE(path)->tp_name);
            throw PythonErrorSet{};
        }
        std::optional<std::string_view> what = ::columns::irregular_file_at(file_system_bytes(path));
        if (!what) return Py_NewRef(Py_None);
        return checked(PyUnicode_FromStringAndSize(what->data(), static_cast<Py_ssize_t>(what->size()))).release();
    });
}

// HEADINGS: for each parser, the texts that make a file one for it when kind is "auto".
Ref headings_by_parser() {
    Ref headings = checked(PyDict_New());
    for (const ::columns::Parser& parser : ::columns::kParsers) {
        Ref name = text_tuple(std::array{parser.name});
        check_status(PyDict_SetItem(headings.get(), PyTuple_GET_ITEM(name.get(), 0), text_tuple(parser.target.headings).get()));
    }
    return headings;
}

// ContentError(error, message): a file's content that could not be had, as its failure row says it.
Ref make_content_error(PyObject* module) {
    Ref type = checked(PyErr_NewExceptionWithDoc(
        "skav_batch._columns.ContentError",
        "ContentError(error, message): a file's content could not be had, e.g. a compressed file that is\n"
        "truncated or corrupt. Given in read()'s contents, or raised by a reader of a content, it is the\n"
        "file's one failure row, with this error and message.",
        PyExc_Exception, nullptr));
    check_status(PyModule_AddObjectRef(module, "ContentError", type.get()));
    return type;
}

// The package's version, compiled in by the wheel's build: looking it up among the installed
// distributions costs a run a fiftieth of a second.
#ifdef SKAV_VERSION
constexpr const char* kVersion = SKAV_VERSION;
#else
constexpr const char* kVersion = "unknown";  // a build folder, not installed
#endif

int exec_columns_module(PyObject* module) noexcept {
    try {
        check_status(PyModule_AddStringConstant(module, "VERSION", kVersion));
        check_status(PyModule_AddIntConstant(module, "WINDOW", static_cast<long>(::columns::kWindow)));
        check_status(PyModule_AddObjectRef(module, "HEADINGS", headings_by_parser().get()));
        check_status(PyModule_AddObjectRef(module, "TABLES", text_tuple(::columns::kTableNames).get()));
        Ref type = make_table_type(module);
        check_status(PyModule_AddObjectRef(module, "Table", type.get()));
        state_of(module).table_type = type.release();
        state_of(module).content_error = make_content_error(module).release();
        return 0;
    } catch (const PythonErrorSet&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module).table_type);
    Py_VISIT(state_of(module).content_error);
    return 0;
}

int clear(PyObject* module) {
    Py_CLEAR(state_of(module).table_type);
    Py_CLEAR(state_of(module).content_error);
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyMethodDef methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL | METH_KEYWORDS,
     "read(paths, files, kind, contents=None, stats=None, window=None, results=False)\n--\n\n"
     "The tables soc_states, soc_elements, orbitals, orbital_contributions, failures and files of\n"
     "the files at `paths`, named by `files` in their file column, and how many files have a failure\n"
     "row. files has one row per file, in order: its size and mtime_ns when the reader opened it,\n"
     "the parsers that ran, its program version, its soc_states and orbitals rows, whether it failed.\n"
     "kind: \"auto\" (the parsers whose heading each file holds), \"tddft\" or \"casscf\".\n"
     "contents: None, or for each file None (read it from its path), a bytes-like object holding\n"
     "its content, a ContentError saying why its content could not be had (its one failure row),\n"
     "or a callable, called when the reading reaches the file, that returns (content, stat): a\n"
     "content as above but no callable, or a reader of it whose read(size) returns at most size\n"
     "bytes (b\"\" at the end) or raises a ContentError, and which is closed after; a stat as in\n"
     "stats. Only one content so supplied is held at a time.\n"
     "stats: None, or for each file None or a tuple (bytes, mtime_ns, compression) for its files\n"
     "row, in place of what the reader finds (e.g. of a compressed file whose content is given).\n"
     "window: the bytes of a file held at a time outside its sections (default 4 MiB); less in tests.\n"
     "results: if true, a third item: for each file, a tuple of the parsers that gave a result (one\n"
     "that ran without failing but found no section, as parse_casscf's None, gives none); and each\n"
     "failed check's report is written to fd 2, as the module's call writes it."},
    {"irregular_file", irregular_file, METH_O,
     "irregular_file($module, path, /)\n--\n\n"
     "What the path is when it is no regular file (\"a named pipe\", \"a directory\", ...), found\n"
     "without opening it; None for a regular file or a path that cannot be examined."},
    {"quoted", quoted, METH_O,
     "quoted($module, text, /)\n--\n\n"
     "text in double quotes, escaped as the notes of failures write it (e.g. the path they name)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_columns_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "skav_batch._columns",
    "The tables of skav_batch as Arrow columns, read by native code.",
    sizeof(ModuleState),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace python::columns

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__columns() {
    return PyModuleDef_Init(&python::columns::module_definition);
}
