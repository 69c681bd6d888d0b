// What the package learns from the engine beyond a tier: which entry of a
// pattern list matches a text and where.
#pragma once

#include "common/python.hpp"
#include "patterns/state.hpp"

namespace halvec::core {

// The first entry of `patterns` (a list, or any iterable of pattern texts)
// that matches somewhere in `text`, as a for loop with `re.search` over them
// would find it: (index, start, end), or None. `re` is looked up in
// `scope`. New reference, or nullptr with an exception set.
PyObject* first_match(PatternState& state, const py::Scope& scope, Borrowed patterns, Borrowed text);

// The record class explanations are made of (a frozen class with slots
// tier, rule, length, word_count, tool_count, pattern_list, pattern_index,
// pattern, span, match, threshold), read once: (class, slot descriptors in
// that order). Records are made as object.__new__ makes them and filled
// through the slots, so the class must be one that object.__new__ can make
// (no built-in base but object, no __new__ of its own) whose instances hold
// those slots and nothing else (but a __dict__ and a __weakref__). New
// reference, or empty with TypeError set when `type` is not such a class.
Owned record_class(Borrowed type);
struct RecordClass {
    PyObject* type;
    PyObject* slots;
};

// explain_complexity(prompt, tool_count): an instance of `record_class` (as
// record_class made it) describing classify_complexity's decision, names
// looked up in `scope` as the classifier looks them up. `prompt` is an exact
// str and `tool_count` an exact int. New reference, or nullptr with an
// exception set.
PyObject* explain_complexity(PatternState& state, const py::Scope& scope, Borrowed record_class, Borrowed prompt,
                             Borrowed tool_count);

// explain_complexity(prompt) for each str of the list `prompts`, for tallies:
// (facts, spans), where facts[i] is (tier, rule, pattern_list, pattern_index)
// and spans[i] is the span or None, each as explain_complexity(prompts[i])
// would give it. New reference, or nullptr with an exception set.
PyObject* explain_batch(PatternState& state, const py::Scope& scope, Borrowed prompts);

// Whether the engine decides `pattern` (an exact str) itself, rather than
// handing it to `re`: True or False, or nullptr with an exception set.
PyObject* engine_covers(PatternState& state, Borrowed pattern);

}  // namespace halvec::core
