// The complexity classifier: sorts a task description into a tier by its
// length, two pattern lists and its word count.
#pragma once

#include "common/refs.hpp"
#include "core/pattern_state.hpp"

namespace halvec::core {

// Binds `_COMPLEX_PATTERNS` and `_SIMPLE_PATTERNS` (lists of pattern texts).
bool define_pattern_lists(Borrowed globals);

// classify_complexity(prompt, tool_count): `prompt` is an exact str and
// `tool_count` an exact int (the binder has checked and converted both).
// `patterns` is what the module keeps between calls for the pattern test.
// Returns the Complexity member, or nullptr with an exception set; may throw
// std::bad_alloc.
PyObject* classify_complexity(PatternState& patterns, Borrowed globals, Borrowed prompt, Borrowed tool_count);

}  // namespace halvec::core
