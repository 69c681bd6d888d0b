// A batch's columns of counts summed by the key of each task, in one pass:
// the tallies of an evaluation add a batch's token counts by tier.
#pragma once

#include "common/python.hpp"

namespace halvec::core {

// group_sums(keys, columns): keys is a list, columns a tuple of lists of
// ints (or bools) as long as it. The keys are told apart by identity; for
// each distinct key, in the order first met, (key, count, sums) with sums a
// list holding each column's sum over the key's positions. None when the
// batch has more than 16 distinct keys, or a sum (or an item) outside a
// 64-bit integer: the caller then sums by other means. New reference, or
// nullptr with an exception set.
PyObject* group_sums(PyObject* keys, PyObject* columns);

}  // namespace halvec::core
