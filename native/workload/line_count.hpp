// Line breaks counted natively: a process that evaluates the second part of a
// file numbers its lines from the breaks in the part before it, which it counts
// without decoding it (at memory speed, where bytes.count looks at a byte at a
// time).
#pragma once

#include "common/python.hpp"

namespace halvec::core {

// count_lines_in(file, cuts): the number of b"\n" bytes in each stretch
// [cuts[k], cuts[k + 1]) of an open file (a descriptor, or an object with
// fileno()), read from the file with the interpreter's lock released for the
// whole count: a thread that counts while another runs Python code waits for
// the lock once, not once a block. The file is read through a descriptor of
// the count's own, taken at once: the caller's may be closed meanwhile, its
// number taken by another file. A stretch past the file's end counts the
// breaks that are there. Signals are checked every 64 MiB read (each read
// counted as a page at least). New reference (a list of len(cuts) - 1 ints),
// or nullptr with an exception set: ValueError for cuts that are not offsets
// in order, OSError for a descriptor that cannot be had or a read that failed.
PyObject* count_lines_in(PyObject* file, PyObject* cuts);

}  // namespace halvec::core
