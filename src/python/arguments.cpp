#include "python/arguments.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "python/failures.hpp"

namespace python {
namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// What the messages say of a function: its name, its parameters and how many are required.
struct Signature {
    const char* function_name;
    std::span<const char* const> names;
    size_t required;

    std::string full_name() const { return std::string(function_name) + "()"; }
};

std::string type_qualname(PyObject* object) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return text;
}

std::string not_a_str_message(PyObject* object) {
    std::string message = "'";
    message += type_qualname(object);
    message += "' object cannot be converted to 'PyString'";
    return message;
}

[[noreturn]] void too_many_positional(const Signature& signature, Py_ssize_t given) {
    size_t parameters = signature.names.size();
    std::string takes = signature.required == parameters
                            ? std::to_string(parameters)
                            : "from " + std::to_string(signature.required) + " to " + std::to_string(parameters);
    raise_type_error(signature.full_name() + " takes " + takes + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_names(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        out += '\'';
        out += names[i];
        out += '\'';
        if (names.size() > 2 && i + 1 < names.size()) out += ",";
        if (i + 2 < names.size()) out += " ";
        if (i + 2 == names.size()) out += " and ";
    }
    return out;
}

[[noreturn]] void missing_positional(const Signature& signature, const std::vector<const char*>& missing) {
    raise_type_error(signature.full_name() + " missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                     quoted_names(missing));
}

[[noreturn]] void unexpected_keyword(const Signature& signature, PyObject* keyword) {
    Ref text = Ref::steal(PyObject_Str(keyword));
    if (!text) throw PythonErrorSet{};
    Ref message = Ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                  signature.full_name().c_str(), text.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    throw PythonErrorSet{};
}

void bind_keyword(const Signature& signature, std::span<PyObject*> slots, PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) raise_type_error(not_a_str_message(name));
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (!text) PyErr_Clear();  // a name without UTF-8 form matches no parameter
    const auto& names = signature.names;
    for (size_t i = 0; text && i < names.size(); ++i) {
        if (std::string_view(text, static_cast<size_t>(length)) != names[i]) continue;
        if (slots[i]) {
            raise_type_error(signature.full_name() + " got multiple values for argument '" + names[i] + "'");
        }
        slots[i] = value;
        return;
    }
    unexpected_keyword(signature, name);
}

// Makes a TypeError name the argument it came from; other errors pass unchanged.
[[noreturn]] void argument_extraction_error(const char* parameter_name) {
    Ref error = take_raised_exception();
    if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error.release());
        throw PythonErrorSet{};
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", parameter_name, error.get()));
    if (!message) throw PythonErrorSet{};
    Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) throw PythonErrorSet{};
    PyException_SetCause(wrapped.get(), PyException_GetCause(error.get()));
    PyErr_SetRaisedException(wrapped.release());
    throw PythonErrorSet{};
}

}  // namespace

void bind_arguments(const char* function_name, std::span<const char* const> parameter_names, size_t required,
                    std::span<PyObject*> slots, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature signature{function_name, parameter_names, required};
    size_t parameters = parameter_names.size();
    size_t positional = std::min(static_cast<size_t>(nargs), parameters);
    for (size_t i = 0; i < positional; ++i) slots[i] = args[i];
    if (static_cast<size_t>(nargs) > parameters) too_many_positional(signature, nargs);
    if (kwnames) {
        Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            bind_keyword(signature, slots, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
        }
    }
    std::vector<const char*> missing;  // only on the way to a TypeError
    for (size_t i = static_cast<size_t>(nargs); i < required; ++i) {
        if (!slots[i]) missing.push_back(parameter_names[i]);
    }
    if (!missing.empty()) missing_positional(signature, missing);
}

std::string_view extract_str(PyObject* argument, const char* parameter_name) {
    if (!PyUnicode_Check(argument)) {
        PyErr_SetString(PyExc_TypeError, not_a_str_message(argument).c_str());
        argument_extraction_error(parameter_name);
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(argument, &length);
    if (!text) argument_extraction_error(parameter_name);
    return {text, static_cast<size_t>(length)};
}

}  // namespace python
