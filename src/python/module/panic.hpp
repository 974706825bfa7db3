#pragma once

#include <string_view>

namespace python::module {

// Sets a pyo3_runtime.PanicException carrying `message` as the pending Python error, with
// `note` (if not empty) as its one note. If the type itself cannot be created, the
// interpreter's own error is left pending; if the note cannot be added, the exception goes
// without it.
void set_panic(std::string_view message, std::string_view note = {});

}  // namespace python::module
