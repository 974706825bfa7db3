#pragma once
// Argument binding for fast-call functions, with the messages callers see on misuse.

#include <string_view>
#include <vector>

#include "binding/ref.hpp"

namespace binding {

struct FunctionDescription {
    const char* function_name;
    std::vector<const char*> positional_parameter_names;
    size_t required_positional_parameters;
};

// One slot per parameter: empty, or the borrowed argument. Throws PythonErrorSet on misuse.
std::vector<PyObject*> extract_arguments_fastcall(const FunctionDescription& description,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames);

// The UTF-8 text of a str argument, without copying. Throws PythonErrorSet otherwise.
std::string_view extract_str(PyObject* argument, const char* parameter_name);

}  // namespace binding
