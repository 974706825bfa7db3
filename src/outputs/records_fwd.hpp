#pragma once
// Lets record headers declare their conversions without pulling in Python.h.

namespace binding {
class Ref;
}
