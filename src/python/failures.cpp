#include "python/failures.hpp"

namespace python {

Ref take_raised_exception() noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return Ref::steal(PyErr_GetRaisedException());
}

Ref checked(PyObject* object) {
    if (!object) {
        PyErr_SetRaisedException(take_raised_exception().release());
        throw PythonErrorSet{};
    }
    return Ref::steal(object);
}

void check_status(int status) {
    if (status != 0) checked(nullptr);
}

}  // namespace python
