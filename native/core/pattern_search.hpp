// The classifier's pattern test: which of the two module-level lists, the
// complex one first, has a pattern that matches somewhere in the normalised
// text?
//
// Pattern texts the native engine covers are decided by it, in one pass over
// the text for the whole list; every other entry (a text outside the
// engine's subset, an object that is not exactly a str) goes to Python's
// `re`, looked up in the module namespace, in list order. The list is read
// afresh at each step, as a for loop over it would, since `re` may run
// Python code that edits it.
#pragma once

#include "common/refs.hpp"

namespace halvec::core {

// The normalised text of one classification: `source[start:end]`, lower-cased
// already, or (an ASCII source) lower-cased on the fly.
struct SearchText {
    Borrowed source;
    Py_ssize_t start;
    Py_ssize_t end;
    bool lower_ascii;
    Owned materialized;  // the text as a str object, made when `re` needs it

    // The text as an exact str; nullptr with an exception set on failure.
    PyObject* object();
};

// Both lists, complex first: which of them has a match, or -1 with an
// exception set. When every entry of both is the engine's, one scan decides.
enum : int { kNoMatch = 0, kComplexMatch = 1, kSimpleMatch = 2 };
int match_pattern_lists(Borrowed globals, SearchText& text);

}  // namespace halvec::core
