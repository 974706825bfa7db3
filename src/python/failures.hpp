#pragma once
// Python's own failures at the boundary: taking over the pending exception, and the one place
// where an entry point's failures become the exception that the caller sees (a check failure
// is turned into one first, by the module's entry frame).

#include <new>
#include <stdexcept>

#include "python/ref.hpp"

namespace python {

// The pending exception, taken over; a SystemError if the interpreter failed without setting one.
Ref take_raised_exception() noexcept;

// A new reference from a call that returns null on failure, which then throws PythonErrorSet.
Ref checked(PyObject* object);
// Throws PythonErrorSet for a call that returned a failure status (not 0).
void check_status(int status);

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

}  // namespace python
