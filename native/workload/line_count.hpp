// Line breaks counted natively: a process that evaluates the second part of a
// file numbers its lines from the breaks in the part before it, which it counts
// without decoding it (at memory speed, where bytes.count looks at a byte at a
// time).
#pragma once

#include "common/python.hpp"

namespace halvec::core {

// count_lines(data): the number of b"\n" bytes in a bytes-like object, counted
// with the interpreter's lock released (other threads run meanwhile). Signals
// are checked between stretches of 64 MiB. New reference (int), or nullptr
// with an exception set.
PyObject* count_lines(PyObject* data);

}  // namespace halvec::core
