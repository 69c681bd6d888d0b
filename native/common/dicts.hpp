// Dictionaries made at their final size.
#pragma once

#include "common/refs.hpp"

namespace halvec::py {

// A new empty dict with room for `expected` keys: filling it in never grows
// it (a dict made empty grows twice on the way to twelve keys).
//
// _PyDict_NewPresized is private API, used in this one place: no public
// function makes a dict with room for a given number of keys, and this one is
// declared in Include/cpython/dictobject.h on every supported version (3.12 to
// 3.15). What it saves, measured with benchmarks/speed/bench_router.py against
// PyDict_New (median of three runs each): get_available_models, whose listing
// records have twelve keys, 3.54 µs against 3.98 µs on CPython 3.12.1 and
// 2.32 µs against 2.56 µs on 3.14.10, about a tenth of the call; with
// PyDict_New it is no faster than the Cython build of the plain-Python model
// (1.10x faster with this).
inline Owned new_dict(Py_ssize_t expected) { return Owned::steal(_PyDict_NewPresized(expected)); }

}  // namespace halvec::py
