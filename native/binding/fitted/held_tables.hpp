// What the scorers of halvec._fitted share: a router's tables as a scorer
// object holds them, the reading of one text with them, and the walk over a
// list of texts.
#pragma once

#include "common/refs.hpp"
#include "common/signals.hpp"
#include "fitted/scorer.hpp"

namespace halvec::binding {

// Characters scored between two checks for signals, over a whole call; each
// text counts as this many more besides its characters, so that a list of
// many short (or empty) texts is stopped as readily as one long text.
inline constexpr Py_ssize_t kBetweenSignalChecks = Py_ssize_t{1} << 20;
inline constexpr Py_ssize_t kTextWork = 16;

struct HeldTables {
    core::fitted::Tables* tables;
    // Set while a score uses the tables' scratch: a signal handler that
    // scores meanwhile gets scratch of its own.
    bool busy;
};

// `text` as the exact str it holds (a str subclass is read as that, whatever
// its methods say); empty with TypeError set for anything but a str.
Owned exact_text(PyObject* text);

// The reading of `text` (an exact str, held by the caller) into `scores` and
// `out`; false with an exception set. The caller holds the object that holds
// `held` for the whole call: a signal handler may run Python code.
bool read_exact(HeldTables& held, PyObject* text, SignalPacing& pacing, double* scores, core::fitted::Reading& out);

// A text's coverage: the share of its n-gram places that hold one of the
// router's n-grams; None for a text with none (no token).
Owned coverage_of(const core::fitted::Reading& reading);

// Calls visit(text) for each item of `texts`, a list or a tuple (TypeError
// otherwise), each held while it is visited. The size is read again for each
// item: a signal handler (or anything visit does that runs Python code) may
// change a list. visit returns false with an exception set to stop the walk.
// True when every item was visited.
template <class Visit>
bool for_each_text(PyObject* texts, const Visit& visit) {
    if (!PyList_Check(texts) && !PyTuple_Check(texts)) {
        PyErr_Format(PyExc_TypeError, "texts to score must be a list or a tuple of str, not %.200s",
                     Py_TYPE(texts)->tp_name);
        return false;
    }
    const bool list = PyList_Check(texts);
    for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(texts) : PyTuple_GET_SIZE(texts)); ++i) {
        const Owned text = Owned::take(list ? PyList_GET_ITEM(texts, i) : PyTuple_GET_ITEM(texts, i));
        if (!visit(text.get())) return false;
    }
    return true;
}

}  // namespace halvec::binding
