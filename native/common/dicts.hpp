// Dictionaries made at their final size.
#pragma once

#include "common/refs.hpp"

namespace halvec::py {

// A new empty dict with room for `expected` keys: filling it in never grows
// it (a dict made empty grows twice on the way to twelve keys).
inline Owned new_dict(Py_ssize_t expected) { return Owned::steal(_PyDict_NewPresized(expected)); }

}  // namespace halvec::py
