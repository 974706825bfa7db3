// The module skav_rs: initialisation and its two functions.

#include <atomic>

#include "binding/entry.hpp"
#include "binding/ref.hpp"
#include "outputs/casscf.hpp"
#include "outputs/tddft.hpp"
#include "parsers/casscf.hpp"
#include "parsers/tddft.hpp"

namespace {

using binding::FunctionDescription;
using binding::PythonErrorSet;
using binding::Ref;

const FunctionDescription kParseTDDFT{"parse_tddft", {"filename"}, 1};
const FunctionDescription kParseCASSCF{"parse_casscf", {"filename"}, 1};

PyObject* parse_tddft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::call_with_file(kParseTDDFT, args, nargs, kwnames, [](binding::Text text) {
        outputs::tddft::TDDFTOutput output = parsers::tddft::parse_tddft(std::move(text));
        return outputs::tddft::to_object(output);
    });
}

PyObject* parse_casscf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::call_with_file(kParseCASSCF, args, nargs, kwnames, [](binding::Text text) {
        std::optional<outputs::casscf::CASSCFOutput> output = parsers::casscf::parse_casscf(std::move(text));
        // No composition section is an ordinary answer, not a failure.
        if (!output) return Ref::borrow(Py_None);
        return outputs::casscf::to_object(*output);
    });
}

// The function objects refer to these for the life of the process.
PyMethodDef method_definitions[] = {
    {"parse_tddft", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_tddft)),
     METH_FASTCALL | METH_KEYWORDS, "parse_tddft(filename)\n--\n\n"},
    {"parse_casscf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_casscf)),
     METH_FASTCALL | METH_KEYWORDS, "parse_casscf(filename)\n--\n\n"},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "skav_rs",
    "",  // an empty docstring, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> initialised{false};

Ref checked(PyObject* object) {
    if (!object) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonErrorSet{};
    }
    return Ref::steal(object);
}

void check_status(int status) {
    if (status != 0) checked(nullptr);
}

// Creates the function, appends its name to __all__ and sets it as a module attribute.
void add_function(PyObject* module, PyMethodDef& definition) {
    const char* module_name = PyModule_GetName(module);
    Ref module_name_str = checked(module_name ? PyUnicode_FromString(module_name) : nullptr);
    Ref function = checked(PyCMethod_New(&definition, module, module_name_str.get(), nullptr));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    check_status(PyList_Append(all.get(), name.get()));
    check_status(PyObject_SetAttr(module, name.get(), function.get()));
}

PyObject* initialise() {
    Ref module = checked(PyModule_Create2(&module_definition, 1013));
    if (initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError, "skav_rs may only be initialized once per interpreter process");
        return nullptr;
    }
    for (PyMethodDef& definition : method_definitions) add_function(module.get(), definition);
    return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_skav_rs() {
    try {
        return initialise();
    } catch (const PythonErrorSet&) {
    } catch (const binding::CheckFailure& failure) {
        binding::set_panic(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}
