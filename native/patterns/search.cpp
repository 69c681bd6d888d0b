#include "patterns/search.hpp"

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "common/signals.hpp"
#include "patterns/scan.hpp"

namespace halvec::core {
namespace {

constexpr std::uint64_t kAll = ~std::uint64_t{0};

// The whole text, or until a pattern of `stop` matches: 0 or -1.
int scan_text(const std::shared_ptr<engine::Matcher>& matcher, const SearchText& text, std::uint64_t stop,
              std::uint64_t& found) {
    bool paused;
    return scan(matcher, text.view(), stop, found, paused);
}

// Per-call scratch without the engine's allocator, which throws: what each
// matcher of a plan found, and whether it has been scanned yet.
class SegmentAnswers {
public:
    explicit SegmentAnswers(std::size_t matchers)
        : found_(static_cast<std::uint64_t*>(PyMem_Calloc(matchers ? matchers : 1, sizeof(std::uint64_t)))),
          scanned_(static_cast<bool*>(PyMem_Calloc(matchers ? matchers : 1, sizeof(bool)))) {}
    ~SegmentAnswers() {
        PyMem_Free(found_);
        PyMem_Free(scanned_);
    }
    SegmentAnswers(const SegmentAnswers&) = delete;
    SegmentAnswers& operator=(const SegmentAnswers&) = delete;

    bool ok() const { return found_ && scanned_; }
    std::uint64_t* found() { return found_; }
    bool* scanned() { return scanned_; }

private:
    std::uint64_t* found_;
    bool* scanned_;
};

// Records entry `index`, `pattern`, as the one that matched.
int found_at(Finding* finding, Py_ssize_t index, Borrowed pattern) {
    if (finding) {
        finding->index = index;
        finding->pattern = Owned::take(pattern);
    }
    return 1;
}

// re.search(pattern, text), with `re` looked up at the call; the match is
// kept in `finding` (entry `index`).
int search_with_re(const py::Scope& scope, Borrowed pattern, SearchText& text, Finding* finding,
                   Py_ssize_t index) {
    PyObject* subject = text.object();
    if (!subject) return -1;
    Owned re = py::lookup_global(scope, names::get().re);
    if (!re) return -1;
    Owned match = py::call_method(re, names::get().search, pattern, subject);
    if (!match) return -1;
    const int truth = py::truth(match);
    if (truth <= 0) return truth;
    found_at(finding, index, pattern);
    if (finding) finding->match = std::move(match);
    return 1;
}

// One entry on its own: 1, 0 or -1.
int search_one(PatternState& state, const py::Scope& scope, Borrowed pattern, SearchText& text, Finding* finding,
               Py_ssize_t index) {
    if (!PyUnicode_CheckExact(pattern.get())) return search_with_re(scope, pattern, text, finding, index);
    std::shared_ptr<engine::Matcher> matcher;
    if (matcher_alone(state, pattern.get(), matcher) < 0) return -1;
    if (!matcher) return search_with_re(scope, pattern, text, finding, index);
    std::uint64_t found = 0;
    if (scan_text(matcher, text, kAll, found) < 0) return -1;
    return found ? found_at(finding, index, pattern) : 0;
}

// The entry of `plan` that bit `bit` of matcher `segment` stands for.
Py_ssize_t planned_entry(const ListPlan& plan, std::size_t segment, int bit) {
    for (std::size_t at = 0; at < plan.segment.size(); ++at) {
        if (plan.segment[at] == static_cast<std::int32_t>(segment) && plan.bit[at] == bit) {
            return static_cast<Py_ssize_t>(at);
        }
    }
    return -1;
}

int lowest_bit(std::uint64_t bits) { return __builtin_ctzll(bits); }

// Whether the exact list `list` still holds the plan's first `count` entries,
// the very objects: a signal handler run while a scan was paused may have
// replaced, removed or inserted entries, which a for loop would have read
// from then on.
bool holds_planned(const ListPlan& plan, PyObject* list, std::size_t count) {
    if (PyList_GET_SIZE(list) < static_cast<Py_ssize_t>(count)) return false;
    for (std::size_t at = 0; at < count; ++at) {
        if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(at)) != plan.items[at].get()) return false;
    }
    return true;
}

int search_entries(PatternState& state, const py::Scope& scope, PatternLoop& loop, const std::shared_ptr<ListPlan>& plan,
                   SearchText& text, Py_ssize_t from, Finding* finding);

// The exact list `loop.walk`, entry by entry in list order, as `for pattern
// in list` would take them; each of the plan's matchers answers for its
// entries in one scan. While every entry is an exact str, taking one in and
// letting one go run no Python code, so whole segments are scanned at once;
// letting a previous entry of another type go may run anything, so then the
// list is walked entry by entry, as the loop reads it. `planned_paused`: the
// plan was made in this call and its making stopped for signal handlers,
// which count as having run before the loop took its first entry.
int search_list(PatternState& state, const py::Scope& scope, PatternLoop& loop, const std::shared_ptr<ListPlan>& plan,
                SearchText& text, Finding* finding, bool planned_paused) {
    if (!plan->fully_native || loop.release_runs_code()) {
        return search_entries(state, scope, loop, plan, text, 0, finding);
    }
    bool paused_once = planned_paused;
    for (std::size_t k = 0; k < plan->matchers.size(); ++k) {
        std::uint64_t found = 0;
        std::size_t first_end = kNoEnd;
        bool paused;
        const int scanned = finding ? scan_lowest(plan->matchers[k], text.view(), kAll, found, first_end, paused)
                                    : scan(plan->matchers[k], text.view(), kAll, found, paused);
        if (scanned < 0) return -1;
        paused_once |= paused;
        if (found) {
            const Py_ssize_t at = planned_entry(*plan, k, lowest_bit(found));
            // Edited meanwhile: the entries are taken as the list holds them now.
            if (paused_once && !holds_planned(*plan, loop.walk.get(), static_cast<std::size_t>(at) + 1)) {
                return search_entries(state, scope, loop, plan, text, 0, finding);
            }
            if (!finding) return 1;
            finding->first_end = first_end;
            return found_at(finding, at, plan->items[static_cast<std::size_t>(at)]);
        }
    }
    if (!paused_once) return 0;
    // Entries a handler appended are still to be searched; entries it replaced, all of them.
    const bool unedited = holds_planned(*plan, loop.walk.get(), plan->items.size());
    return search_entries(state, scope, loop, plan, text,
                          unedited ? static_cast<Py_ssize_t>(plan->items.size()) : 0, finding);
}

// The entries of `loop.walk` from index `from` on. A signal handler run while
// a scan was paused may have added entries past those the scan covered: the
// loop goes on to them, as a for loop over the list would.
int search_entries(PatternState& state, const py::Scope& scope, PatternLoop& loop, const std::shared_ptr<ListPlan>& plan,
                   SearchText& text, Py_ssize_t from, Finding* finding) {
    PyObject* list = loop.walk.get();
    // What each matcher found, scanned when the first of its entries comes up.
    SegmentAnswers answers(plan->matchers.size());
    if (!answers.ok()) {
        PyErr_NoMemory();
        return -1;
    }
    std::uint64_t* found = answers.found();
    bool* scanned = answers.scanned();
    for (Py_ssize_t i = from; i < PyList_GET_SIZE(list); ++i) {
        if ((i - from) % kEntriesBetweenSignalChecks == kEntriesBetweenSignalChecks - 1) {
            if (check_signals() < 0) return -1;
            // A handler may have shortened the list: the loop ends where a for loop would.
            if (i >= PyList_GET_SIZE(list)) break;
        }
        loop.entry = Owned::take(PyList_GET_ITEM(list, i));
        const Borrowed item = loop.entry;  // the loop holds it until the next one is in
        const auto at = static_cast<std::size_t>(i);
        // The plan still speaks for this entry unless Python code has edited the list.
        const bool planned = at < plan->items.size() && plan->items[at].get() == item.get();
        int result;
        if (planned && plan->segment[at] != ListPlan::kByRe) {
            const auto k = static_cast<std::size_t>(plan->segment[at]);
            if (!scanned[k]) {
                if (scan_text(plan->matchers[k], text, 0, found[k]) < 0) return -1;
                scanned[k] = true;
            }
            result = (found[k] >> plan->bit[at]) & 1 ? found_at(finding, i, item) : 0;
        } else if (planned) {
            result = search_with_re(scope, item, text, finding, i);  // the plan gave it to `re`
        } else {
            result = search_one(state, scope, item, text, finding, i);
        }
        if (result != 0) return result;
    }
    return 0;
}

// Any other iterable: each entry on its own, through its iterator, which
// the loop holds until it is exhausted; the iterable itself goes as soon as
// the iterator is made, as the loop lets it go.
int search_iterable(PatternState& state, const py::Scope& scope, PatternLoop& loop, Owned patterns, SearchText& text,
                    Finding* finding) {
    loop.walk = Owned::steal(PyObject_GetIter(patterns.get()));
    if (!loop.walk) return -1;
    patterns.reset();
    Py_ssize_t seen = 0;
    while (Owned next = Owned::steal(PyIter_Next(loop.walk.get()))) {
        loop.entry = std::move(next);
        const int found = text.engine ? search_one(state, scope, loop.entry, text, finding, seen)
                                      : search_with_re(scope, loop.entry, text, finding, seen);
        if (found != 0) return found;
        if (++seen % static_cast<Py_ssize_t>(kEntriesBetweenSignalChecks) == 0 && check_signals() < 0) {
            return -1;
        }
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

Owned SearchText::slice(Py_ssize_t from, Py_ssize_t to) {
    if (materialized) return Owned::steal(PyUnicode_Substring(materialized.get(), from, to));
    if (!lower_ascii) return Owned::steal(PyUnicode_Substring(source.get(), start + from, start + to));
    Owned made = Owned::steal(PyUnicode_New(to - from, 127));
    if (!made) return {};
    const Py_UCS1* in = PyUnicode_1BYTE_DATA(source.get()) + start + from;
    Py_UCS1* out = PyUnicode_1BYTE_DATA(made.get());
    for (Py_ssize_t i = 0; i < to - from; ++i) out[i] = in[i] >= 'A' && in[i] <= 'Z' ? in[i] + 32 : in[i];
    return made;
}

int match_pattern_lists(PatternState& state, const py::Scope& scope, PatternLoop& loop, SearchText& text,
                        Finding* finding) {
    // Declared first, so released last: plans replaced by this call go only
    // when nothing in it points into them.
    Retired retired;
    const names::Table& n = names::get();

    // The complex list. When a plan for both lists exists, its one scan also
    // answers for the simple list, provided that list is unchanged when its
    // turn comes and nothing has been taken in that could run code.
    std::shared_ptr<ListPlan> complex_plan;
    std::shared_ptr<PairPlan> pair;
    std::uint64_t pair_found = 0;
    std::size_t pair_first_end = kNoEnd;
    bool pair_answers = true;  // whether the pair's scan may answer for the simple list
    bool complex_paused = false;  // whether making its plan stopped for signal handlers
    {
        Owned complex = py::lookup_global(scope, n.complex_patterns);
        if (!complex) return -1;
        if (PyList_CheckExact(complex.get())) {
            loop.walk = std::move(complex);
            complex_plan = state.plan_for(PatternState::kComplex, loop.walk.get(), retired, complex_paused);
            if (!complex_plan) return -1;
            pair = state.pair_for(*complex_plan);
        }
        int found;
        if (pair && pair->matcher) {
            bool paused;
            // Explaining, the lowest of all: the complex entries are numbered first, so
            // that is the first complex entry to match, else the first simple one.
            const int scanned = finding ? scan_lowest(pair->matcher, text.view(), kAll, pair_found, pair_first_end,
                                                      paused)
                                        : scan(pair->matcher, text.view(), pair->complex_bits, pair_found, paused);
            if (scanned < 0) return -1;
            // A handler run while the scan was paused may have edited the complex list:
            // then its entries are searched as the list holds them now, and the pair's
            // answer stands for neither list.
            const bool edited =
                paused && !holds_planned(*complex_plan, loop.walk.get(),
                                         (pair_found & pair->complex_bits)
                                             ? static_cast<std::size_t>(lowest_bit(pair_found & pair->complex_bits)) + 1
                                             : complex_plan->items.size());
            if (edited) {
                pair_answers = false;
                found = search_entries(state, scope, loop, complex_plan, text, 0, finding);
            } else if (pair_found & pair->complex_bits) {
                if (finding) {
                    const int at = lowest_bit(pair_found & pair->complex_bits);
                    finding->first_end = pair_first_end;
                    found_at(finding, at, complex_plan->items[static_cast<std::size_t>(at)]);
                }
                return kComplexMatch;
            } else {
                found = paused ? search_entries(state, scope, loop, complex_plan, text,
                                                static_cast<Py_ssize_t>(complex_plan->items.size()), finding)
                               : 0;
            }
        } else if (complex_plan) {
            found = search_list(state, scope, loop, complex_plan, text, finding, complex_paused);
        } else {
            found = search_iterable(state, scope, loop, std::move(complex), text, finding);
        }
        if (found != 0) return found < 0 ? -1 : kComplexMatch;
        // Done with the complex list, as a for loop is when it ends: if it
        // was rebound meanwhile, its entries go now, before the simple list
        // is read.
        loop.walk.reset();
    }

    Owned simple = py::lookup_global(scope, n.simple_patterns);
    if (!simple) return -1;
    int found;
    if (PyList_CheckExact(simple.get())) {
        loop.walk = std::move(simple);
        bool simple_paused;
        const std::shared_ptr<ListPlan> simple_plan =
            state.plan_for(PatternState::kSimple, loop.walk.get(), retired, simple_paused);
        if (!simple_plan) return -1;
        if (pair && pair->matcher && pair_answers && pair->simple_serial == simple_plan->serial &&
            !loop.release_runs_code()) {
            const std::uint64_t simple_found = pair_found & ~pair->complex_bits;
            found = simple_found != 0;
            if (found && finding) {
                const auto at = static_cast<std::size_t>(lowest_bit(simple_found)) - complex_plan->items.size();
                finding->first_end = pair_first_end;
                found_at(finding, static_cast<Py_ssize_t>(at), simple_plan->items[at]);
            }
        } else {
            found = search_list(state, scope, loop, simple_plan, text, finding, simple_paused);
            // Both lists are the engine's: from the next call on, one scan does.
            if (found >= 0 && complex_plan && PatternState::pairable(*complex_plan, *simple_plan) &&
                !(pair && pair->simple_serial == simple_plan->serial) &&
                !state.make_pair(*complex_plan, *simple_plan)) {
                return -1;
            }
        }
    } else {
        found = search_iterable(state, scope, loop, std::move(simple), text, finding);
    }
    if (found == 0) loop.walk.reset();
    if (found != 0) return found < 0 ? -1 : kSimpleMatch;
    return kNoMatch;
}

int search_patterns(PatternState& state, const py::Scope& scope, PatternLoop& loop, Owned patterns,
                    PatternState::List which, SearchText& text, Finding& finding) {
    Retired retired;
    int found;
    if (text.engine && PyList_CheckExact(patterns.get())) {
        loop.walk = std::move(patterns);
        bool paused;
        const std::shared_ptr<ListPlan> plan = state.plan_for(which, loop.walk.get(), retired, paused);
        if (!plan) return -1;
        found = search_list(state, scope, loop, plan, text, &finding, paused);
    } else {
        found = search_iterable(state, scope, loop, std::move(patterns), text, &finding);
    }
    if (found == 0) loop.walk.reset();
    return found;
}

namespace {

// (start, end) of `re`'s match object `match`.
int span_of_match(Borrowed match, Py_ssize_t& start, Py_ssize_t& end) {
    static const char* const kSpan = "span";
    Owned span = Owned::steal(PyObject_CallMethod(match.get(), kSpan, nullptr));
    if (!span) return -1;
    if (!PyArg_ParseTuple(span.get(), "nn", &start, &end)) return -1;
    return 0;
}

}  // namespace

int span_of(PatternState& state, const py::Scope& scope, const Finding& finding, SearchText& text,
            Py_ssize_t& start, Py_ssize_t& end) {
    if (finding.match) return span_of_match(finding.match, start, end);
    if (text.engine && PyUnicode_CheckExact(finding.pattern.get())) {
        std::size_t first, last;
        const int found = find_span(state, finding.pattern.get(), text.view(), finding.first_end, first, last);
        if (found < 0 && found != -2) return -1;
        if (found == 1) {
            start = static_cast<Py_ssize_t>(first);
            end = static_cast<Py_ssize_t>(last);
            return 0;
        }
    }
    // The engine cannot tell: `re` is asked.
    Finding asked;
    const int found = search_with_re(scope, finding.pattern, text, &asked, finding.index);
    if (found < 0) return -1;
    if (found == 0) {
        PyErr_SetString(PyExc_RuntimeError, "the pattern engine and re disagree about a match");
        return -1;
    }
    return span_of_match(asked.match, start, end);
}

}  // namespace halvec::core
