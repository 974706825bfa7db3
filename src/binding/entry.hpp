#pragma once
// The frame every entry point runs in: bind `filename`, read the file, run the call,
// and turn every failure into the Python exception the caller sees.

#include <string>

#include "binding/arguments.hpp"
#include "binding/check.hpp"
#include "binding/panic.hpp"
#include "binding/python_errors.hpp"
#include "binding/read_file.hpp"
#include "binding/ref.hpp"

namespace binding {

// The collector would walk the young part of a result that is still being built, again
// and again; no object of the call can be garbage before the call ends.
class GarbageCollectorPause {
public:
    GarbageCollectorPause() : was_enabled_(PyGC_Disable()) {}
    GarbageCollectorPause(const GarbageCollectorPause&) = delete;
    GarbageCollectorPause& operator=(const GarbageCollectorPause&) = delete;
    ~GarbageCollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    int was_enabled_;
};

// The note that says where in the file `path` the failure stands; none if memory runs out.
inline std::string note_for(const CheckFailure& failure, std::string_view path) noexcept {
    try {
        return failure.location().note(path);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

// `parse_and_convert` takes the file's text over and returns the result object.
template <typename ParseAndConvert>
PyObject* call_with_file(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, ParseAndConvert parse_and_convert) noexcept {
    return translating_failures([&]() -> PyObject* {
        std::string_view path;
        try {
            std::vector<PyObject*> slots = extract_arguments_fastcall(description, args, nargs, kwnames);
            path = extract_str(slots[0], description.positional_parameter_names[0]);
            Text text = read_to_string(path);
            GarbageCollectorPause pause;
            Ref result = parse_and_convert(std::move(text));
            return result.release();
        } catch (const CheckFailure& failure) {
            set_panic(failure.message(), note_for(failure, path));
            throw PythonErrorSet{};
        }
    });
}

}  // namespace binding
