// The complexity classifier: sorts a task description into a tier by its
// length, two pattern lists and its word count.
#pragma once

#include "common/refs.hpp"

namespace halvec::core {

// Binds `_COMPLEX_PATTERNS` and `_SIMPLE_PATTERNS` (lists of pattern texts).
bool define_pattern_lists(Borrowed globals);

// classify_complexity(prompt, tool_count): `prompt` is an exact str and
// `tool_count` an exact int (the binder has checked and converted both).
// Returns the Complexity member, or nullptr with an exception set.
PyObject* classify_complexity(Borrowed globals, Borrowed prompt, Borrowed tool_count);

}  // namespace halvec::core
