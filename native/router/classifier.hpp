// The complexity classifier: sorts a task description into a tier by its
// length, two pattern lists and its word count.
#pragma once

#include "common/python.hpp"
#include "patterns/search.hpp"

namespace halvec::core {

// Binds `_COMPLEX_PATTERNS` and `_SIMPLE_PATTERNS` (lists of pattern texts).
bool define_pattern_lists(const py::Scope& scope);

// classify_complexity(prompt, tool_count): `prompt` is an exact str and
// `tool_count` an exact int (the binder has checked and converted both).
// `patterns` is what the module keeps between calls for the pattern test.
// Returns the Complexity member, or nullptr with an exception set; may throw
// std::bad_alloc.
PyObject* classify_complexity(PatternState& patterns, const py::Scope& scope, Borrowed prompt, Borrowed tool_count);

// One classification with what decided it: the rule, the facts it looked
// at, and for a pattern rule the entry that matched and where.
struct Classification {
    enum class Rule { Length, ComplexPattern, SimplePattern, Counts };
    Rule rule = Rule::Length;
    Owned tier;  // the Complexity member
    Py_ssize_t length = 0;
    Py_ssize_t words = 0;
    Finding finding;
    Py_ssize_t start = -1;
    Py_ssize_t end = -1;
    bool want_match = true;  // make `match`
    bool want_words = true;  // count the words even where the rules do not (else `words` is -1)
    Owned match;             // the matched text, for a pattern rule
    const char* threshold = nullptr;  // for Counts: the comparison that decided
    // Held until the caller has made its record from the rest, as
    // classify_complexity holds it until it has its result.
    PatternLoop loop;
};

// classify_complexity, explained: the same steps in the same order, with the
// same names looked up (so the same tier for the same lists); 0 with `out`
// filled, or -1 with an exception set.
int explain_classification(PatternState& patterns, const py::Scope& scope, Borrowed prompt, Borrowed tool_count,
                           Classification& out);

}  // namespace halvec::core
