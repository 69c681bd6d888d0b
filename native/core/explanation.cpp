#include "core/explanation.hpp"

#include "core/pattern_search.hpp"

namespace halvec::core {

PyObject* first_match(PatternState& state, const py::Scope& scope, Borrowed patterns, Borrowed text) {
    SearchText view{text, 0, PyUnicode_GET_LENGTH(text.get()), false, {}};
    view.engine = view.end > 0;
    PatternLoop loop;
    Finding finding;
    const int found = search_patterns(state, scope, loop, Owned::take(patterns), PatternState::kComplex, view, finding);
    if (found < 0) return nullptr;
    if (found == 0) Py_RETURN_NONE;
    Py_ssize_t start, end;
    if (span_of(state, scope, finding, view, start, end) < 0) return nullptr;
    return Py_BuildValue("(nnn)", finding.index, start, end);
}

}  // namespace halvec::core
