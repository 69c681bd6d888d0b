// The complexity classifier: sorts a task description into a tier by its
// length, two pattern lists and its word count.
#pragma once

#include "common/python.hpp"
#include "core/pattern_state.hpp"

namespace halvec::core {

// Binds `_COMPLEX_PATTERNS` and `_SIMPLE_PATTERNS` (lists of pattern texts).
bool define_pattern_lists(const py::Scope& scope);

// classify_complexity(prompt, tool_count): `prompt` is an exact str and
// `tool_count` an exact int (the binder has checked and converted both).
// `patterns` is what the module keeps between calls for the pattern test.
// Returns the Complexity member, or nullptr with an exception set; may throw
// std::bad_alloc.
PyObject* classify_complexity(PatternState& patterns, const py::Scope& scope, Borrowed prompt, Borrowed tool_count);

}  // namespace halvec::core
