// The input tokens of tasks whose records give no count, estimated from their
// descriptions a batch at a time.
#pragma once

#include "common/python.hpp"

namespace halvec::core {

// token_estimates(descriptions): for each str of the list, its UTF-8 size in
// bytes (a lone surrogate taking three, as "surrogatepass" writes it)
// divided by 4, rounded up. New reference (a list of ints), or nullptr with
// an exception set.
PyObject* token_estimates(PyObject* descriptions);

}  // namespace halvec::core
