// The classifier's pattern test, and the one bridge between the pattern
// engine and the interpreter: which of the two module-level lists, the
// complex one first, has a pattern that matches somewhere in the normalised
// text?
//
// Pattern texts the engine covers are decided by it, in one pass over the
// text for a whole list (for both lists, once they have been seen together);
// every other entry (a text outside the engine's subset, an object that is
// not exactly a str) goes to Python's `re`, looked up in the module
// namespace, in list order. Each list is looked up when its turn comes and
// read afresh at each step, as a for loop over it would, since `re` may run
// Python code that edits it. Long scans stop every few milliseconds to let
// signal handlers run.
#pragma once

#include "common/python.hpp"
#include "patterns/scan.hpp"
#include "patterns/state.hpp"

namespace halvec::core {

// The normalised text of one classification: `source[start:end]`, lower-cased
// already, or (an ASCII source) lower-cased on the fly. The caller keeps
// `source` alive for as long as the text is used.
struct SearchText {
    Borrowed source;
    Py_ssize_t start;
    Py_ssize_t end;
    bool lower_ascii;
    Owned materialized;  // the text as a str object, made when `re` needs it
    // False: every entry goes to `re` (an empty text, where \B behaves as
    // the running interpreter's `re` says).
    bool engine = true;

    // The text as an exact str; nullptr with an exception set on failure.
    PyObject* object();
    // text[from:to] as a new str, or empty with an exception set.
    Owned slice(Py_ssize_t from, Py_ssize_t to);
    // The text as the engine reads it.
    engine::Text view() const {
        PyObject* s = source.get();
        return {PyUnicode_DATA(s), PyUnicode_KIND(s), static_cast<std::size_t>(start),
                static_cast<std::size_t>(end), lower_ascii};
    }
};

// What the source's two loops, `for pattern in <list>:`, hold while they
// run: the loop variable (one for both loops: the entry taken last) and the
// list or iterator being walked. The caller keeps it until it has made its
// result, then lets it go as a returning frame does: the walk first, then
// the variable. An entry taken in is held before the previous one goes, so
// a finaliser of that one (only an entry that is not an exact str has one)
// runs when the loop's would, and sees what the loop's would.
struct PatternLoop {
    Owned entry;
    Owned walk;

    // Whether letting the current entry go can run Python code.
    bool release_runs_code() const { return entry && !PyUnicode_CheckExact(entry.get()); }
};

// The entry of a list that matched: its index (as the loop counted it) and
// the entry itself; `match` is `re`'s match object when `re` decided it.
struct Finding {
    Py_ssize_t index = -1;
    Owned pattern;
    Owned match;
    std::size_t first_end = kNoEnd;  // where its earliest match ends, when a scan saw it
};

// Both lists, complex first: which of them has a match, or -1 with an
// exception set; with `finding`, which entry matched.
enum : int { kNoMatch = 0, kComplexMatch = 1, kSimpleMatch = 2 };
int match_pattern_lists(PatternState& state, const py::Scope& scope, PatternLoop& loop, SearchText& text,
                        Finding* finding = nullptr);

// One list (or any iterable), as a for loop over it reads it, with the
// plans of slot `which`: 1 with `finding` set, 0, or -1.
int search_patterns(PatternState& state, const py::Scope& scope, PatternLoop& loop, Owned patterns,
                    PatternState::List which, SearchText& text, Finding& finding);

// The span in `text` of the match `finding` stands for, as `re.search`
// reports it: from `re`'s match, from the engine, or (where the engine
// cannot tell) from `re` asked now. 0, or -1 with an exception set.
int span_of(PatternState& state, const py::Scope& scope, const Finding& finding, SearchText& text,
            Py_ssize_t& start, Py_ssize_t& end);

}  // namespace halvec::core
