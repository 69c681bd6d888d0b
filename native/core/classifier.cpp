#include "core/classifier.hpp"

#include "common/names.hpp"
#include "common/python.hpp"
#include "core/pattern_search.hpp"

namespace halvec::core {
namespace {

const char* const kComplexPatterns[] = {
    R"(\b(architect|design system|refactor|multi.?step|comprehensive|in.?depth)\b)",
    R"(\b(analyze|debug.*complex|plan.*project|write.*report)\b)",
    R"(\b(research|compare.*and.*contrast|investigate)\b)",
    R"(\b(create.*application|build.*system|implement.*feature)\b)",
    R"(\b(strategy|optimization|trade.?off|deep.*analysis)\b)",
    R"(\b(blog.?post|article|essay|paper|thesis|dissertation)\b)",
    R"(\b(every.*day|daily|weekly|schedule|cron|automat)\b)",
    R"(\b(while.*also|simultaneously|parallel|worker)\b)",
    R"(\b(financial|market|stock|crypto|investment)\b)",
    R"(\b(\d{3,}\s*word)\b)",
};

const char* const kSimplePatterns[] = {
    R"(\b(hello|hi|hey|thanks|thank you|ok|okay|yes|no|sure)\b)",
    R"(\b(what time|what day|what date|weather)\b)",
    R"(\b(summarize this|tldr|quick question|simple)\b)",
    R"(\b(translate|convert|format|rename|list)\b)",
    R"(\b(open|close|click|scroll|navigate to)\b)",
    R"(\b(fetch|get|check|look up|find)\b)",
};

constexpr Py_ssize_t kShortText = 20;
enum class Tier { Simple, Moderate, Complex };

template <std::size_t N>
Owned make_list(const char* const (&texts)[N]) {
    Owned list = Owned::steal(PyList_New(0));
    if (!list) return {};
    for (const char* text : texts) {
        Owned item = py::str(text);
        if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
    }
    return list;
}

// Bounds of `text` without the whitespace str.strip() removes at either end.
struct Span {
    Py_ssize_t start, end;
};
Span strip_bounds(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(text);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return {start, end};
}

// len(text.split()): the runs of non-whitespace.
Py_ssize_t count_words(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t words = 0;
    bool in_word = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const bool space = Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i));
        words += !space && !in_word;
        in_word = !space;
    }
    return words;
}

// True, false or -1: does any pattern of the list named `list_name` match?
// The list is read afresh at each step, like a for loop over it: its items
// may run Python code when searched (a str subclass, or anything the engine
// is handed), and that code may edit the list.
int any_pattern_matches(Borrowed globals, PyObject* list_name, Borrowed text) {
    Owned patterns = py::lookup_global(globals, list_name);
    if (!patterns) return -1;
    if (PyList_CheckExact(patterns.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(patterns.get()); ++i) {
            Owned pattern = Owned::take(PyList_GET_ITEM(patterns.get(), i));
            const int found = pattern_search(globals, pattern, text);
            if (found != 0) return found;
        }
        return 0;
    }
    Owned iterator = Owned::steal(PyObject_GetIter(patterns.get()));
    if (!iterator) return -1;
    while (Owned pattern = Owned::steal(PyIter_Next(iterator.get()))) {
        const int found = pattern_search(globals, pattern, text);
        if (found != 0) return found;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The tool count compared as an arbitrary-precision integer, clamped into
// the range the rules look at.
long long clamp_tool_count(PyObject* tool_count) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(tool_count, &overflow);
    if (overflow > 0) return 5;
    if (overflow < 0) return 0;
    return value;
}

Tier tier_by_counts(Py_ssize_t words, long long tools) {
    if (words > 60 || tools > 4) return Tier::Complex;
    if (words > 25 || tools > 2) return Tier::Moderate;
    if (words < 15 && tools <= 1) return Tier::Simple;
    return Tier::Moderate;
}

// Complexity.<MEMBER>, looked up as the source's `return Complexity.SIMPLE`.
PyObject* tier_member(Borrowed globals, Tier tier) {
    const names::Table& n = names::get();
    Owned complexity = py::lookup_global(globals, n.complexity);
    if (!complexity) return nullptr;
    PyObject* member = tier == Tier::Simple ? n.simple : tier == Tier::Moderate ? n.moderate : n.complex;
    return PyObject_GetAttr(complexity.get(), member);
}

}  // namespace

bool define_pattern_lists(Borrowed globals) {
    return py::set_global(globals, "_COMPLEX_PATTERNS", make_list(kComplexPatterns)) &&
           py::set_global(globals, "_SIMPLE_PATTERNS", make_list(kSimplePatterns));
}

PyObject* classify_complexity(Borrowed globals, Borrowed prompt, Borrowed tool_count) {
    const names::Table& n = names::get();
    Owned lowered = Owned::steal(PyObject_CallMethodNoArgs(prompt.get(), n.lower));
    if (!lowered) return nullptr;
    const Span span = strip_bounds(lowered.get());
    if (span.end - span.start < kShortText) return tier_member(globals, Tier::Simple);

    Owned text = span.start == 0 && span.end == PyUnicode_GET_LENGTH(lowered.get())
                     ? std::move(lowered)
                     : Owned::steal(PyUnicode_Substring(lowered.get(), span.start, span.end));
    if (!text) return nullptr;

    int found = any_pattern_matches(globals, n.complex_patterns, text);
    if (found != 0) return found < 0 ? nullptr : tier_member(globals, Tier::Complex);
    found = any_pattern_matches(globals, n.simple_patterns, text);
    if (found != 0) return found < 0 ? nullptr : tier_member(globals, Tier::Simple);

    return tier_member(globals, tier_by_counts(count_words(text.get()), clamp_tool_count(tool_count.get())));
}

}  // namespace halvec::core
