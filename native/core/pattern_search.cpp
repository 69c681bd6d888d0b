#include "core/pattern_search.hpp"

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"

namespace halvec::core {
namespace {

// Work between two signal checks: a few million characters on built tables,
// fewer where states are being computed; a few milliseconds either way.
constexpr std::size_t kWorkBetweenSignalChecks = std::size_t{1} << 20;
constexpr std::uint64_t kAll = ~std::uint64_t{0};

engine::Text view_of(const SearchText& text) {
    PyObject* s = text.source.get();
    return {PyUnicode_DATA(s), PyUnicode_KIND(s), static_cast<std::size_t>(text.start),
            static_cast<std::size_t>(text.end), text.lower_ascii};
}

// Runs a matcher over the whole text (or until a pattern of `stop` matches),
// stopping between slices of work for signal handlers. 0 with `found` set,
// or -1 with the handler's exception set; `paused` tells whether it stopped
// (and so whether Python code may have run meanwhile).
int scan(const std::shared_ptr<engine::Matcher>& shared, const SearchText& text, std::uint64_t stop,
         std::uint64_t& found, bool& paused) {
    std::shared_ptr<engine::Matcher> matcher = shared;
    // A scan paused on this matcher (this call's own caller, reached again
    // from a signal handler, or another thread meanwhile) keeps it; this one
    // gets a fresh matcher on the same automaton.
    if (matcher->busy()) matcher = engine::make_shared<engine::Matcher>(shared->automaton());
    const engine::Matcher::Use use(*matcher);
    const engine::Text view = view_of(text);
    engine::Scan progress;
    paused = false;
    for (;;) {
        matcher->advance(view, progress, stop, kWorkBetweenSignalChecks);
        if (progress.done) break;
        paused = true;
        if (PyErr_CheckSignals() < 0) return -1;
    }
    found = progress.found;
    return 0;
}

int scan(const std::shared_ptr<engine::Matcher>& shared, const SearchText& text, std::uint64_t stop,
         std::uint64_t& found) {
    bool paused;
    return scan(shared, text, stop, found, paused);
}

// re.search(pattern, text), with `re` looked up at the call.
int search_with_re(Borrowed globals, Borrowed pattern, SearchText& text) {
    PyObject* subject = text.object();
    if (!subject) return -1;
    Owned re = py::lookup_global(globals, names::get().re);
    if (!re) return -1;
    Owned match = py::call_method(re, names::get().search, pattern, subject);
    if (!match) return -1;
    return py::truth(match);
}

// One entry on its own: 1, 0 or -1.
int search_one(PatternState& state, Borrowed globals, Borrowed pattern, SearchText& text) {
    if (!PyUnicode_CheckExact(pattern.get())) return search_with_re(globals, pattern, text);
    const std::shared_ptr<Compiled> compiled = state.cache().get(pattern.get());
    const std::shared_ptr<engine::Matcher> matcher = state.cache().alone(*compiled);
    if (!matcher) return search_with_re(globals, pattern, text);
    std::uint64_t found = 0;
    if (scan(matcher, text, kAll, found) < 0) return -1;
    return found != 0;
}

int search_entries(PatternState& state, Borrowed globals, Borrowed list, const std::shared_ptr<ListPlan>& plan,
                   SearchText& text, Py_ssize_t from);

// An exact list, entry by entry in list order, as `for pattern in list`
// would take them; each of the plan's matchers answers for its entries in one
// scan.
int search_list(PatternState& state, Borrowed globals, Borrowed list, const std::shared_ptr<ListPlan>& plan,
                SearchText& text) {
    if (!plan->fully_native) return search_entries(state, globals, list, plan, text, 0);
    bool paused_once = false;
    for (const auto& matcher : plan->matchers) {
        std::uint64_t found = 0;
        bool paused;
        if (scan(matcher, text, kAll, found, paused) < 0) return -1;
        if (found) return 1;
        paused_once |= paused;
    }
    return paused_once ? search_entries(state, globals, list, plan, text,
                                        static_cast<Py_ssize_t>(plan->items.size()))
                       : 0;
}

// The entries from index `from` on. A signal handler run while a scan was
// paused may have added entries past those the scan covered: the loop goes
// on to them, as a for loop over the list would.
int search_entries(PatternState& state, Borrowed globals, Borrowed list, const std::shared_ptr<ListPlan>& plan,
                   SearchText& text, Py_ssize_t from) {
    // What each matcher found, scanned when the first of its entries comes up.
    engine::Vector<std::uint64_t> found(plan->matchers.size(), 0);
    engine::Vector<std::uint8_t> scanned(plan->matchers.size(), 0);
    for (Py_ssize_t i = from; i < PyList_GET_SIZE(list.get()); ++i) {
        if ((i - from) % kEntriesBetweenSignalChecks == kEntriesBetweenSignalChecks - 1 &&
            PyErr_CheckSignals() < 0) {
            return -1;
        }
        const Owned item = Owned::take(PyList_GET_ITEM(list.get(), i));
        const auto at = static_cast<std::size_t>(i);
        // The plan still speaks for this entry unless `re` has edited the list.
        const bool planned = at < plan->items.size() && plan->items[at].get() == item.get();
        int result;
        if (planned && plan->segment[at] != ListPlan::kByRe) {
            const auto k = static_cast<std::size_t>(plan->segment[at]);
            if (!scanned[k]) {
                if (scan(plan->matchers[k], text, 0, found[k]) < 0) return -1;
                scanned[k] = 1;
            }
            result = static_cast<int>((found[k] >> plan->bit[at]) & 1);
        } else if (planned) {
            result = search_with_re(globals, item, text);  // the plan gave it to `re`
        } else {
            result = search_one(state, globals, item, text);
        }
        if (result != 0) return result;
    }
    return 0;
}

// Any other iterable: each entry on its own.
int search_iterable(PatternState& state, Borrowed globals, Borrowed patterns, SearchText& text) {
    Owned iterator = Owned::steal(PyObject_GetIter(patterns.get()));
    if (!iterator) return -1;
    std::size_t seen = 0;
    while (Owned pattern = Owned::steal(PyIter_Next(iterator.get()))) {
        const int found = search_one(state, globals, pattern, text);
        if (found != 0) return found;
        if (++seen % kEntriesBetweenSignalChecks == 0 && PyErr_CheckSignals() < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* SearchText::object() {
    if (materialized) return materialized.get();
    Owned lowered = lower_ascii ? Owned::steal(PyObject_CallMethodNoArgs(source.get(), names::get().lower))
                                : Owned::take(source);
    if (!lowered) return nullptr;
    if (start == 0 && end == PyUnicode_GET_LENGTH(lowered.get())) {
        materialized = std::move(lowered);
    } else {
        materialized = Owned::steal(PyUnicode_Substring(lowered.get(), start, end));
    }
    return materialized.get();
}

int match_pattern_lists(PatternState& state, Borrowed globals, SearchText& text) {
    // Declared first, so released last: plans replaced by this call go only
    // when nothing in it points into them.
    Retired retired;
    const names::Table& n = names::get();

    // The complex list. When a plan for both lists exists, its one scan also
    // answers for the simple list, provided that list is unchanged when its
    // turn comes.
    Owned complex = py::lookup_global(globals, n.complex_patterns);
    if (!complex) return -1;
    std::shared_ptr<ListPlan> complex_plan;
    std::shared_ptr<PairPlan> pair;
    std::uint64_t pair_found = 0;
    if (PyList_CheckExact(complex.get())) {
        complex_plan = state.plan_for(PatternState::kComplex, complex.get(), retired);
        if (!complex_plan) return -1;
        pair = state.pair_for(*complex_plan);
        if (pair && pair->matcher) {
            bool paused;
            if (scan(pair->matcher, text, pair->complex_bits, pair_found, paused) < 0) return -1;
            if (pair_found & pair->complex_bits) return kComplexMatch;
            const int found = paused ? search_entries(state, globals, complex, complex_plan, text,
                                                      static_cast<Py_ssize_t>(complex_plan->items.size()))
                                     : 0;
            if (found != 0) return found < 0 ? -1 : kComplexMatch;
        } else {
            const int found = search_list(state, globals, complex, complex_plan, text);
            if (found != 0) return found < 0 ? -1 : kComplexMatch;
        }
    } else {
        const int found = search_iterable(state, globals, complex, text);
        if (found != 0) return found < 0 ? -1 : kComplexMatch;
    }

    // Done with the complex list, as a for loop is when it ends: if it was
    // rebound meanwhile, its entries go now, before the simple list is read.
    complex.reset();

    Owned simple = py::lookup_global(globals, n.simple_patterns);
    if (!simple) return -1;
    int found;
    if (PyList_CheckExact(simple.get())) {
        const std::shared_ptr<ListPlan> simple_plan = state.plan_for(PatternState::kSimple, simple.get(), retired);
        if (!simple_plan) return -1;
        if (pair && pair->matcher && pair->simple_serial == simple_plan->serial) {
            return pair_found & ~pair->complex_bits ? kSimpleMatch : kNoMatch;
        }
        found = search_list(state, globals, simple, simple_plan, text);
        // Both lists are the engine's: from the next call on, one scan does.
        if (found >= 0 && complex_plan && PatternState::pairable(*complex_plan, *simple_plan) &&
            !(pair && pair->simple_serial == simple_plan->serial)) {
            state.make_pair(*complex_plan, *simple_plan);
        }
    } else {
        found = search_iterable(state, globals, simple, text);
    }
    if (found != 0) return found < 0 ? -1 : kSimpleMatch;
    return kNoMatch;
}

}  // namespace halvec::core
