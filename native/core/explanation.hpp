// What the package learns from the engine beyond a tier: which entry of a
// pattern list matches a text and where.
#pragma once

#include "common/python.hpp"
#include "core/pattern_state.hpp"

namespace halvec::core {

// The first entry of `patterns` (a list, or any iterable of pattern texts)
// that matches somewhere in `text`, as a for loop with `re.search` over them
// would find it: (index, start, end), or None. `re` is looked up in
// `scope`. New reference, or nullptr with an exception set.
PyObject* first_match(PatternState& state, const py::Scope& scope, Borrowed patterns, Borrowed text);

}  // namespace halvec::core
