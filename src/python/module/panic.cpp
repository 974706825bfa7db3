#include "python/module/panic.hpp"

#include "python/ref.hpp"

namespace python::module {
namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python fails an internal check.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created at first use and kept for the rest of the process; guarded by the interpreter lock.
PyObject* panic_type = nullptr;

PyObject* get_panic_type() {
    if (!panic_type) {
        PyObject* type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
        // Creating the type can run Python code; another thread may have won meanwhile.
        if (panic_type) {
            Py_XDECREF(type);
        } else {
            panic_type = type;
        }
    }
    return panic_type;
}

Ref str_of(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace

void set_panic(std::string_view message, std::string_view note) {
    PyObject* type = get_panic_type();
    if (!type) return;
    Ref text = str_of(message);
    if (!text) return;
    Ref panic = Ref::steal(PyObject_CallOneArg(type, text.get()));
    if (!panic) return;
    if (!note.empty()) {
        // What add_note does to a new exception: a one-item __notes__ list.
        Ref note_text = str_of(note);
        Ref notes = note_text ? Ref::steal(PyList_New(1)) : Ref();
        if (notes) PyList_SET_ITEM(notes.get(), 0, note_text.release());
        if (!notes || PyObject_SetAttrString(panic.get(), "__notes__", notes.get()) != 0) PyErr_Clear();
    }
    // Raised the way the interpreter raises, so that an exception being handled becomes its context.
    PyErr_SetObject(type, panic.get());
}

}  // namespace python::module
