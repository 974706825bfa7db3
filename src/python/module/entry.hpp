#pragma once
// The frame every entry point runs in: bind `filename`, read the file, run the call,
// and turn every failure into the Python exception the caller sees.

#include <optional>
#include <string>

#include "core/check.hpp"
#include "core/read_file.hpp"
#include "python/arguments.hpp"
#include "python/failures.hpp"
#include "python/module/panic.hpp"
#include "python/ref.hpp"

namespace python::module {

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

// `parse_and_convert` takes the file's text over and returns the result object.
template <typename ParseAndConvert>
PyObject* call_with_file(const FunctionDescription<1>& description, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, ParseAndConvert parse_and_convert) noexcept {
    return translating_failures([&]() -> PyObject* {
        std::string_view path;
        try {
            auto [filename] = bind_arguments(description, args, nargs, kwnames);
            path = extract_str(filename, description.parameter_names[0]);
            core::Text text = core::read_to_string(path);
            GarbageCollectorPause pause;
            Ref result = parse_and_convert(std::move(text));
            return result.release();
        } catch (const core::CheckFailure& failure) {
            std::optional<std::string> note = core::note_of(failure, path);
            set_panic(failure.message(), note ? std::string_view(*note) : std::string_view());
            throw PythonErrorSet{};
        }
    });
}

}  // namespace python::module
