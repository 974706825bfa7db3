// The module skav_batch._columns: the five tables of many files as Arrow columns, built
// without a Python object per value, and without the interpreter lock while it reads.

#include <new>
#include <optional>
#include <span>
#include <stdexcept>

#include "binding/arguments.hpp"
#include "binding/column_table.hpp"
#include "binding/python_errors.hpp"
#include "binding/read_arguments.hpp"
#include "binding/ref.hpp"
#include "columns/reader.hpp"
#include "parsers/headings.hpp"

namespace {

using binding::PythonErrorSet;
using binding::Ref;

struct ModuleState {
    PyObject* table_type;
};

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

Ref checked(PyObject* object) {
    if (!object) throw PythonErrorSet{};
    return Ref::steal(object);
}

// Reading, parsing and building columns touch no Python object: other threads run meanwhile.
columns::Reading read_unlocked(const std::vector<columns::FileToRead>& files, columns::Kind kind) {
    std::optional<columns::Reading> reading;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        reading = columns::read_files(files, kind);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::length_error&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) throw std::bad_alloc();
    return std::move(*reading);
}

// ({name: Table}, files with a failure row)
Ref result_of(const ModuleState& state, columns::Reading reading) {
    Ref tables = checked(PyDict_New());
    auto* type = reinterpret_cast<PyTypeObject*>(state.table_type);
    for (auto& [name, table] : reading.tables) {
        Ref object = binding::make_table(type, std::make_shared<const columns::ColumnTable>(std::move(table)));
        if (PyDict_SetItemString(tables.get(), name, object.get()) != 0) throw PythonErrorSet{};
    }
    Ref failed = checked(PyLong_FromSize_t(reading.failed_files));
    return checked(PyTuple_Pack(2, tables.get(), failed.get()));
}

const binding::FunctionDescription kRead{"read", {"paths", "files", "kind"}, 3};

PyObject* read(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return binding::translating_failures([&] {
        std::vector<PyObject*> slots = binding::extract_arguments_fastcall(kRead, args, nargs, kwnames);
        std::vector<columns::FileToRead> files = binding::files_to_read(slots[0], slots[1]);
        columns::Kind kind = binding::kind_argument(slots[2]);
        return result_of(state_of(module), read_unlocked(files, kind)).release();
    });
}

Ref text_tuple(std::span<const std::string_view> texts) {
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    for (size_t i = 0; i < texts.size(); ++i) {
        PyObject* text = PyUnicode_FromStringAndSize(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()));
        if (!text) throw PythonErrorSet{};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
    }
    return tuple;
}

// HEADINGS: for each parser, the texts that make a file one for it when kind is "auto".
Ref headings_by_parser() {
    using namespace parsers::headings;
    Ref headings = checked(PyDict_New());
    for (auto [name, texts] : {std::pair{"tddft", std::span<const std::string_view>(kSOCAny)},
                               std::pair{"casscf", std::span<const std::string_view>(&kComposition, 1)}}) {
        if (PyDict_SetItemString(headings.get(), name, text_tuple(texts).get()) != 0) throw PythonErrorSet{};
    }
    return headings;
}

int exec_columns_module(PyObject* module) noexcept {
    try {
        if (PyModule_AddObjectRef(module, "HEADINGS", headings_by_parser().get()) != 0) return -1;
        std::vector<std::string_view> names(columns::kTableNames.begin(), columns::kTableNames.end());
        if (PyModule_AddObjectRef(module, "TABLES", text_tuple(names).get()) != 0) return -1;
        Ref type = binding::make_table_type(module);
        if (PyModule_AddObjectRef(module, "Table", type.get()) != 0) return -1;
        state_of(module).table_type = type.release();
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
    return 0;
}

int clear(PyObject* module) {
    Py_CLEAR(state_of(module).table_type);
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyMethodDef methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL | METH_KEYWORDS,
     "read(paths, files, kind)\n--\n\n"
     "The tables soc_states, soc_elements, orbitals, orbital_contributions and failures of the files\n"
     "at `paths`, named by `files` in their file column, and how many files have a failure row.\n"
     "kind: \"auto\" (the parsers whose heading each file holds), \"tddft\" or \"casscf\"."},
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

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__columns() {
    return PyModuleDef_Init(&module_definition);
}
