// Walking a list of descriptions in native code, as a Python for loop over
// the list as it is now would walk it.
#pragma once

#include "common/refs.hpp"
#include "common/signals.hpp"

namespace halvec::core {

// Characters looked at, over a whole list, between two signal checks; a
// description counts as this many besides its characters.
inline constexpr Py_ssize_t kCharactersBetweenSignalChecks = Py_ssize_t{1} << 24;
inline constexpr Py_ssize_t kDescriptionWork = 16;

// Calls visit(index, text) for each item of `descriptions`, which must be a
// list of str (else TypeError naming `function`). A signal handler may change
// the list: it is read afresh after each check and each item is held while it
// is visited. visit returns 0, or -1 with an exception set, which ends the
// walk. Returns 0, or -1 with an exception set.
template <typename Visit>
int walk_descriptions(const char* function, PyObject* descriptions, SignalPacing& pacing, Visit&& visit) {
    if (!PyList_CheckExact(descriptions)) {
        PyErr_Format(PyExc_TypeError, "%s(): descriptions must be a list, not %.200s", function,
                     Py_TYPE(descriptions)->tp_name);
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(descriptions); ++i) {
        if (pacing.done(kDescriptionWork) < 0) return -1;
        if (i >= PyList_GET_SIZE(descriptions)) break;
        const Owned item = Owned::take(PyList_GET_ITEM(descriptions, i));
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "%s(): description %zd is %.200s, not a str", function, i,
                         Py_TYPE(item.get())->tp_name);
            return -1;
        }
        if (visit(i, item.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace halvec::core
