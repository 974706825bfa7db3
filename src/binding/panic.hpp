#pragma once

#include <string_view>

namespace binding {

// Sets a pyo3_runtime.PanicException carrying `message` as the pending Python error.
// If the type itself cannot be created, the interpreter's own error is left pending.
void set_panic(std::string_view message);

}  // namespace binding
