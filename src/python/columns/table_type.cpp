#include "python/columns/table_type.hpp"

#include <new>

#include "python/arguments.hpp"
#include "python/failures.hpp"
#include "columns/export.hpp"

namespace python::columns {
namespace {

struct TableObject {
    PyObject_HEAD
    std::shared_ptr<const ::columns::ColumnTable> table;
};

const std::shared_ptr<const ::columns::ColumnTable>& table_of(PyObject* self) {
    return reinterpret_cast<TableObject*>(self)->table;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<TableObject*>(self)->table.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(table_of(self)->rows); }

// Frees a capsule's structure, releasing it first unless a consumer has taken it over.
template <typename Struct>
void destroy_capsule(PyObject* capsule) {
    auto* structure = static_cast<Struct*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    if (structure && structure->release) structure->release(structure);
    delete structure;
}

// A capsule of a structure that `fill` fills. The capsule exists first, holding a released
// structure, so that the structure is freed on every way out.
template <typename Struct, typename Fill>
Ref capsule(const char* name, Fill&& fill) {
    auto* structure = new Struct{};
    Ref result = Ref::steal(PyCapsule_New(structure, name, destroy_capsule<Struct>));
    if (!result) {
        delete structure;
        throw PythonErrorSet{};
    }
    fill(structure);
    return result;
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
    return translating_failures([&] {
        return capsule<ArrowSchema>("arrow_schema",
                                    [&](ArrowSchema* out) { ::columns::export_schema(table_of(self)->fields, out); })
            .release();
    });
}

bool bit(const void* bits, int64_t i) { return static_cast<const uint8_t*>(bits)[i / 8] >> (i % 8) & 1; }

template <typename T>
T value_at(const void* values, int64_t i) {
    return static_cast<const T*>(values)[i];
}

// The value of row `i` of a column with format `format`, as the module would give it: a float
// widened exactly, a string as str, null as None.
Ref value_of(const char* format, const ::columns::ArrayBuffers& column, int64_t i) {
    if (column.buffers[0] && !bit(column.buffers[0], i)) return Ref::borrow(Py_None);
    const void* values = column.buffers[1];
    switch (format[0]) {
        case 'u': {
            auto offsets = static_cast<const int32_t*>(values);
            const char* text = static_cast<const char*>(column.buffers[2]) + offsets[i];
            return checked(PyUnicode_DecodeUTF8(text, offsets[i + 1] - offsets[i], nullptr));
        }
        case 'b': return Ref::borrow(bit(values, i) ? Py_True : Py_False);
        case 'f': return checked(PyFloat_FromDouble(value_at<float>(values, i)));
        case 'g': return checked(PyFloat_FromDouble(value_at<double>(values, i)));
        case 'I': return checked(PyLong_FromUnsignedLong(value_at<uint32_t>(values, i)));
        case 'C': return checked(PyLong_FromUnsignedLong(value_at<uint8_t>(values, i)));
        case 'c': return checked(PyLong_FromLong(value_at<int8_t>(values, i)));
        case 'L': return checked(PyLong_FromUnsignedLongLong(value_at<uint64_t>(values, i)));
        case 'l': return checked(PyLong_FromLongLong(value_at<int64_t>(values, i)));
        default: throw std::logic_error(std::string("a column of format ") + format);
    }
}

// rows(): the rows as tuples, for callers without an Arrow library (skav-rs json).
PyObject* rows(PyObject* self, PyObject*) {
    return translating_failures([&] {
        const ::columns::ColumnTable& table = *table_of(self);
        Ref list = checked(PyList_New(0));
        for (const ::columns::BatchBuffers& batch : table.batches) {
            for (int64_t i = 0; i < batch.rows; ++i) {
                Ref row = checked(PyTuple_New(static_cast<Py_ssize_t>(table.fields.size())));
                for (size_t c = 0; c < table.fields.size(); ++c) {
                    PyTuple_SET_ITEM(row.get(), static_cast<Py_ssize_t>(c),
                                     value_of(table.fields[c].format, batch.columns[c], i).release());
                }
                check_status(PyList_Append(list.get(), row.get()));
            }
        }
        return list.release();
    });
}

const FunctionDescription<1> kStream{"__arrow_c_stream__", {"requested_schema"}, 0};

PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return translating_failures([&] {
        bind_arguments(kStream, args, nargs, kwnames);
        return capsule<ArrowArrayStream>("arrow_array_stream",
                                         [&](ArrowArrayStream* out) { ::columns::export_stream(table_of(self), out); })
            .release();
    });
}

PyMethodDef methods[] = {
    {"rows", rows, METH_NOARGS, "rows($self, /)\n--\n\nThe rows, each a tuple of its values (floats widened exactly, None for null)."},
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nThe schema, as a PyCapsule named \"arrow_schema\"."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "The record batches, as a PyCapsule named \"arrow_array_stream\". A table has one form only:\n"
     "requested_schema is not looked at, the consumer casts."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_tp_doc, const_cast<char*>("A table of skav_batch._columns.read: len() rows, exported through the Arrow "
                                  "PyCapsule protocol, e.g. by pyarrow.table().")},
    {0, nullptr},
};

PyType_Spec kTableType = {
    "skav_batch._columns.Table",
    sizeof(TableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

Ref make_table_type(PyObject* module) {
    return checked(PyType_FromModuleAndSpec(module, &kTableType, nullptr));
}

Ref make_table(PyTypeObject* type, std::shared_ptr<const ::columns::ColumnTable> table) {
    Ref object = checked(type->tp_alloc(type, 0));
    using Shared = std::shared_ptr<const ::columns::ColumnTable>;
    new (&reinterpret_cast<TableObject*>(object.get())->table) Shared(std::move(table));
    return object;
}

}  // namespace python::columns
