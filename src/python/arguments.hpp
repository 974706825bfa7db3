#pragma once
// Argument binding for fast-call functions, with the messages callers see on misuse.

#include <array>
#include <span>
#include <string_view>

#include "python/ref.hpp"

namespace python {

// A function whose parameters may all be given by position or keyword; the first
// `required` must be given.
template <size_t N>
struct FunctionDescription {
    const char* function_name;
    std::array<const char*, N> parameter_names;
    size_t required;
};

// Fills one slot per parameter: null, or the borrowed argument. Throws PythonErrorSet on misuse.
void bind_arguments(const char* function_name, std::span<const char* const> parameter_names, size_t required,
                    std::span<PyObject*> slots, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

template <size_t N>
std::array<PyObject*, N> bind_arguments(const FunctionDescription<N>& description, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    bind_arguments(description.function_name, description.parameter_names, description.required, slots, args, nargs,
                   kwnames);
    return slots;
}

// The UTF-8 text of a str argument, without copying. Throws PythonErrorSet otherwise.
std::string_view extract_str(PyObject* argument, const char* parameter_name);

}  // namespace python
