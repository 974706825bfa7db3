// The module skav_rs: initialisation and its two functions.

#include <atomic>

#include "parsers/casscf.hpp"
#include "parsers/tddft.hpp"
#include "python/failures.hpp"
#include "python/module/entry.hpp"
#include "python/module/to_object.hpp"
#include "python/ref.hpp"

namespace python::module {
namespace {

const FunctionDescription<1> kParseTDDFT{"parse_tddft", {"filename"}, 1};
const FunctionDescription<1> kParseCASSCF{"parse_casscf", {"filename"}, 1};

PyObject* parse_tddft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_file(kParseTDDFT, args, nargs, kwnames, [](core::Text text) {
        records::tddft::TDDFTOutput output = parsers::tddft::parse_tddft(std::move(text));
        return to_object(output);
    });
}

PyObject* parse_casscf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_file(kParseCASSCF, args, nargs, kwnames, [](core::Text text) {
        std::optional<records::casscf::CASSCFOutput> output = parsers::casscf::parse_casscf(std::move(text));
        // No composition section is an ordinary answer, not a failure.
        if (!output) return Ref::borrow(Py_None);
        return to_object(*output);
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
}  // namespace python::module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_skav_rs() {
    using namespace python::module;
    try {
        return initialise();
    } catch (const python::PythonErrorSet&) {
    } catch (const core::CheckFailure& failure) {
        set_panic(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}
