#include "router/classifier.hpp"

#include <algorithm>
#include <array>

#include "common/names.hpp"
#include "common/python.hpp"
#include "common/signals.hpp"
#include "patterns/search.hpp"

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

// Long texts are read in slices, with a check for signals between them.
constexpr Py_ssize_t kSlice = Py_ssize_t{1} << 20;

// Words in p[start:end], continuing a count that was `in_word` at `start`.
template <class Char>
Py_ssize_t count_words_in(const Char* p, Py_ssize_t start, Py_ssize_t end, bool& in_word) {
    Py_ssize_t words = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        const bool space = Py_UNICODE_ISSPACE(p[i]);
        words += !space && !in_word;
        in_word = !space;
    }
    return words;
}

// The same for 1-byte text, through a table of which of its 256 characters
// are whitespace, as the interpreter's own test says.
Py_ssize_t count_words_in(const Py_UCS1* p, Py_ssize_t start, Py_ssize_t end, bool& in_word) {
    static const std::array<std::uint8_t, 256> kSpace = [] {
        std::array<std::uint8_t, 256> table{};
        for (unsigned c = 0; c < 256; ++c) table[c] = Py_UNICODE_ISSPACE(c) ? 1 : 0;
        return table;
    }();
    Py_ssize_t words = 0;
    unsigned inside = in_word;
    for (Py_ssize_t i = start; i < end; ++i) {
        const unsigned word = kSpace[p[i]] ^ 1u;
        words += word & ~inside;
        inside = word;
    }
    in_word = inside;
    return words;
}

// Narrows the text to what str.strip() leaves; false with an exception set
// if a signal handler raises.
bool strip(SearchText& text) {
    PyObject* s = text.source.get();
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(s);
    Py_ssize_t until_check = kSlice;
    auto check = [&] {
        if (--until_check) return true;
        until_check = kSlice;
        return check_signals() == 0;
    };
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) {
        ++start;
        if (!check()) return false;
    }
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) {
        --end;
        if (!check()) return false;
    }
    text.start = start;
    text.end = end;
    return true;
}

// len(text.split()): the runs of non-whitespace; -1 with an exception set if
// a signal handler raises.
Py_ssize_t count_words(const SearchText& text) {
    PyObject* s = text.source.get();
    Py_ssize_t words = 0;
    bool in_word = false;
    for (Py_ssize_t start = text.start; start < text.end; start += kSlice) {
        if (start != text.start && check_signals() < 0) return -1;
        const Py_ssize_t end = std::min(text.end, start + kSlice);
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND: words += count_words_in(PyUnicode_1BYTE_DATA(s), start, end, in_word); break;
            case PyUnicode_2BYTE_KIND: words += count_words_in(PyUnicode_2BYTE_DATA(s), start, end, in_word); break;
            default: words += count_words_in(PyUnicode_4BYTE_DATA(s), start, end, in_word); break;
        }
    }
    return words;
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
PyObject* tier_member(const py::Scope& scope, Tier tier) {
    const names::Table& n = names::get();
    Owned complexity = py::lookup_global(scope, n.complexity);
    if (!complexity) return nullptr;
    PyObject* member = tier == Tier::Simple ? n.simple : tier == Tier::Moderate ? n.moderate : n.complex;
    return PyObject_GetAttr(complexity.get(), member);
}

}  // namespace

bool define_pattern_lists(const py::Scope& scope) {
    return py::set_global(scope, "_COMPLEX_PATTERNS", make_list(kComplexPatterns)) &&
           py::set_global(scope, "_SIMPLE_PATTERNS", make_list(kSimplePatterns));
}

PyObject* classify_complexity(PatternState& patterns, const py::Scope& scope, Borrowed prompt, Borrowed tool_count) {
    const names::Table& n = names::get();
    // ASCII text is lower-cased on the fly while it is read (lowering changes
    // neither its length nor its whitespace); other text through str.lower(),
    // whose full mapping may change its length.
    Owned lowered;
    const bool ascii = PyUnicode_IS_ASCII(prompt.get());
    if (!ascii) {
        lowered = Owned::steal(PyObject_CallMethodNoArgs(prompt.get(), n.lower));
        if (!lowered) return nullptr;
    }
    SearchText text{ascii ? prompt : lowered.borrow(), 0, 0, ascii, {}};
    if (!strip(text)) return nullptr;
    if (text.end - text.start < kShortText) return tier_member(scope, Tier::Simple);

    // Held as the source's loop holds it, until the result is made.
    PatternLoop loop;
    PyObject* result;
    switch (match_pattern_lists(patterns, scope, loop, text)) {
        case kComplexMatch: result = tier_member(scope, Tier::Complex); break;
        case kSimpleMatch: result = tier_member(scope, Tier::Simple); break;
        case kNoMatch: {
            const Py_ssize_t words = count_words(text);
            result = words < 0 ? nullptr : tier_member(scope, tier_by_counts(words, clamp_tool_count(tool_count.get())));
            break;
        }
        default: result = nullptr; break;
    }
    return result;
}

namespace {

// The comparison of the count rules that decided, as the rules read.
const char* threshold_of(Py_ssize_t words, long long tools) {
    if (words > 60) return "word_count > 60";
    if (tools > 4) return "tool_count > 4";
    if (words > 25) return "word_count > 25";
    if (tools > 2) return "tool_count > 2";
    if (words < 15 && tools <= 1) return "word_count < 15 and tool_count <= 1";
    return words >= 15 ? "word_count >= 15" : "tool_count > 1";
}

}  // namespace

int explain_classification(PatternState& patterns, const py::Scope& scope, Borrowed prompt, Borrowed tool_count,
                           Classification& out) {
    const names::Table& n = names::get();
    Owned lowered;
    const bool ascii = PyUnicode_IS_ASCII(prompt.get());
    if (!ascii) {
        lowered = Owned::steal(PyObject_CallMethodNoArgs(prompt.get(), n.lower));
        if (!lowered) return -1;
    }
    SearchText text{ascii ? prompt : lowered.borrow(), 0, 0, ascii, {}};
    if (!strip(text)) return -1;
    out.length = text.end - text.start;
    out.words = -1;
    Tier tier;
    if (out.length < kShortText) {
        out.rule = Classification::Rule::Length;
        tier = Tier::Simple;
    } else {
        const int found = match_pattern_lists(patterns, scope, out.loop, text, &out.finding);
        if (found < 0) return -1;
        if (found == kNoMatch) {
            // Counted where classify_complexity counts them: after the pattern test.
            out.words = count_words(text);
            if (out.words < 0) return -1;
            const long long tools = clamp_tool_count(tool_count.get());
            out.rule = Classification::Rule::Counts;
            out.threshold = threshold_of(out.words, tools);
            tier = tier_by_counts(out.words, tools);
        } else {
            out.rule = found == kComplexMatch ? Classification::Rule::ComplexPattern
                                              : Classification::Rule::SimplePattern;
            tier = found == kComplexMatch ? Tier::Complex : Tier::Simple;
            if (span_of(patterns, scope, out.finding, text, out.start, out.end) < 0) return -1;
            if (out.want_match) {
                out.match = text.slice(out.start, out.end);
                if (!out.match) return -1;
            }
        }
    }
    if (out.words < 0 && out.want_words) {
        out.words = count_words(text);
        if (out.words < 0) return -1;
    }
    out.tier = Owned::steal(tier_member(scope, tier));
    return out.tier ? 0 : -1;
}

}  // namespace halvec::core
