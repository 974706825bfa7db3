#pragma once
// Where the failures of an entry point become the Python exception that the caller sees: the
// one place that catches them (a check failure is turned into one first, see entry.hpp).

#include <new>
#include <stdexcept>

#include "binding/ref.hpp"

namespace binding {

// Runs `body`, which returns a new reference; if it fails, its exception is left pending and
// the result is null.
template <typename Body>
PyObject* translating_failures(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        // already set
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

}  // namespace binding
