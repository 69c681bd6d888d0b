#include "core/pattern_search.hpp"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "core/regex_matcher.hpp"

namespace halvec::core {
namespace {

bool is_word(char32_t c) { return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)) || c == U'_'; }
bool is_digit(char32_t c) { return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c)); }
bool is_space(char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }
constexpr regex::Predicates kPredicates{is_word, is_digit, is_space};

// ---- Compiled pattern texts, keyed by value --------------------------------

struct Compiled {
    std::unique_ptr<regex::Node> tree;        // nullptr: outside the subset
    std::unique_ptr<regex::Matcher> alone;    // made when searched on its own
};

constexpr std::size_t kMaxCompiled = 256;
std::unordered_map<std::u32string, std::shared_ptr<Compiled>> compiled_cache;

std::u32string code_points(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    std::u32string out(static_cast<std::size_t>(n), U'\0');
    for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
    return out;
}

// The compiled form of an exact str, compiled on first use.
std::shared_ptr<Compiled> compile(PyObject* text) {
    std::u32string key = code_points(text);
    auto found = compiled_cache.find(key);
    if (found != compiled_cache.end()) return found->second;
    if (compiled_cache.size() >= kMaxCompiled) compiled_cache.clear();
    auto made = std::make_shared<Compiled>();
    made->tree = regex::parse(key);
    compiled_cache.emplace(std::move(key), made);
    return made;
}

regex::Text view_of(const SearchText& text) {
    PyObject* s = text.source.get();
    return {PyUnicode_DATA(s), PyUnicode_KIND(s), static_cast<std::size_t>(text.start),
            static_cast<std::size_t>(text.end), text.lower_ascii};
}

// ---- One pattern on its own ------------------------------------------------

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

int search_one(Borrowed globals, Borrowed pattern, SearchText& text) {
    if (!PyUnicode_CheckExact(pattern.get())) return search_with_re(globals, pattern, text);
    std::shared_ptr<Compiled> compiled = compile(pattern.get());
    if (compiled->tree && !compiled->alone) {
        regex::Program program;
        if (program.build({compiled->tree.get()})) {
            compiled->alone = std::make_unique<regex::Matcher>(std::move(program), kPredicates);
        } else {
            compiled->tree.reset();  // too large for the engine: leave it to `re`
        }
    }
    if (!compiled->alone) return search_with_re(globals, pattern, text);
    return compiled->alone->scan(view_of(text), ~std::uint64_t{0}) != 0;
}

// ---- A whole list ----------------------------------------------------------

// How the entries of one list are decided: the entries it was made from
// (held, so identity tests against them stay meaningful), and for each the
// bit of the combined matcher that answers for it, or kByRe.
struct Plan {
    static constexpr int kByRe = -1;
    static constexpr int kAlone = -2;  // native, but past the combined matcher's width
    std::vector<Owned> items;
    std::vector<int> member;
    std::unique_ptr<regex::Matcher> matcher;
    bool all_native = true;

    // Whether the list still holds the same texts; equal texts in new objects
    // are adopted, which keeps the next check to a pointer comparison.
    bool fits(PyObject* list) {
        if (static_cast<std::size_t>(PyList_GET_SIZE(list)) != items.size()) return false;
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
            if (item == items[i].get()) continue;
            if (!PyUnicode_CheckExact(item) || !PyUnicode_CheckExact(items[i].get()) ||
                PyUnicode_Compare(item, items[i].get()) != 0) {
                return false;
            }
            items[i] = Owned::take(item);
        }
        return true;
    }
};

std::shared_ptr<Plan> make_plan(PyObject* list) {
    auto plan = std::make_shared<Plan>();
    std::vector<const regex::Node*> trees;
    std::vector<std::shared_ptr<Compiled>> keep;  // the trees live until the program is built
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        plan->items.push_back(Owned::take(item));
        int member = Plan::kByRe;
        if (PyUnicode_CheckExact(item)) {
            std::shared_ptr<Compiled> compiled = compile(item);
            if (compiled->tree) {
                member = Plan::kAlone;
                if (trees.size() < regex::kMaxPatterns) {
                    member = static_cast<int>(trees.size());
                    trees.push_back(compiled->tree.get());
                    keep.push_back(compiled);
                }
            }
        }
        plan->all_native &= member != Plan::kByRe;
        plan->member.push_back(member);
    }
    if (!trees.empty()) {
        regex::Program program;
        if (program.build(trees)) {
            plan->matcher = std::make_unique<regex::Matcher>(std::move(program), kPredicates);
        } else {
            // Too large combined: each entry is then searched on its own.
            for (int& m : plan->member) m = m >= 0 ? Plan::kAlone : m;
        }
    }
    return plan;
}

// Both lists in one scan, when every entry of both is the engine's: the
// complex list's patterns take the low bits, the simple list's the next.
struct PairPlan {
    std::shared_ptr<Plan> complex, simple;
    std::unique_ptr<regex::Matcher> matcher;
    std::uint64_t complex_bits = 0;
};

bool fully_native(const Plan& plan) {
    return plan.all_native && plan.matcher && plan.items.size() <= regex::kMaxPatterns;
}

std::unique_ptr<PairPlan> make_pair_plan(const std::shared_ptr<Plan>& complex,
                                         const std::shared_ptr<Plan>& simple) {
    auto pair = std::make_unique<PairPlan>();
    pair->complex = complex;
    pair->simple = simple;
    if (complex->items.size() + simple->items.size() > regex::kMaxPatterns) return pair;
    std::vector<std::shared_ptr<Compiled>> keep;
    std::vector<const regex::Node*> trees;
    for (const Plan* plan : {complex.get(), simple.get()}) {
        for (const Owned& item : plan->items) {
            keep.push_back(compile(item.get()));
            if (!keep.back()->tree) return pair;
            trees.push_back(keep.back()->tree.get());
        }
    }
    regex::Program program;
    if (!program.build(trees)) return pair;
    pair->matcher = std::make_unique<regex::Matcher>(std::move(program), kPredicates);
    pair->complex_bits = (std::uint64_t{1} << complex->items.size()) - 1;
    return pair;
}

// The plans last used for each of the two lists. Never destroyed: they hold
// references that must not be released after the interpreter has gone.
std::shared_ptr<Plan>* const plans = new std::shared_ptr<Plan>[2];
std::unique_ptr<PairPlan>& pair_plan = *new std::unique_ptr<PairPlan>;

// Both module lists, when each is an exact list; borrowed from the module
// namespace (reading a dict entry runs no Python code).
bool both_lists(Borrowed globals, PyObject*& complex, PyObject*& simple) {
    const names::Table& n = names::get();
    complex = PyDict_GetItemWithError(globals.get(), n.complex_patterns);
    simple = complex ? PyDict_GetItemWithError(globals.get(), n.simple_patterns) : nullptr;
    if (PyErr_Occurred()) PyErr_Clear();  // left for the list-by-list path to report in order
    return complex && simple && PyList_CheckExact(complex) && PyList_CheckExact(simple);
}

int search_list(Borrowed globals, PyObject* list, std::shared_ptr<Plan>& slot, SearchText& text) {
    if (!slot || !slot->fits(list)) slot = make_plan(list);
    // Ours for the whole walk, even if `re` runs code that replaces the slot.
    const std::shared_ptr<Plan> plan = slot;
    // The usual case: every entry is the engine's, and nothing runs Python
    // code, so one scan answers for the list.
    if (fully_native(*plan)) return plan->matcher->scan(view_of(text), ~std::uint64_t{0}) != 0;
    std::uint64_t found = 0;
    bool scanned = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Owned item = Owned::take(PyList_GET_ITEM(list, i));
        const std::size_t at = static_cast<std::size_t>(i);
        int result;
        if (at < plan->items.size() && plan->items[at].get() == item.get() && plan->member[at] >= 0) {
            if (!scanned) {
                found = plan->matcher->scan(view_of(text), 0);
                scanned = true;
            }
            result = static_cast<int>((found >> plan->member[at]) & 1);
        } else {
            // An entry for `re`, one the combined matcher does not cover, or
            // a list that `re` has just edited.
            result = search_one(globals, item, text);
        }
        if (result != 0) return result;
    }
    return 0;
}

// Does any entry of the list named `list_name` match? 1, 0 or -1.
int any_pattern_matches(Borrowed globals, PyObject* list_name, SearchText& text) {
    Owned patterns = py::lookup_global(globals, list_name);
    if (!patterns) return -1;
    if (PyList_CheckExact(patterns.get())) {
        std::shared_ptr<Plan>& slot = plans[list_name == names::get().complex_patterns ? 0 : 1];
        return search_list(globals, patterns.get(), slot, text);
    }
    Owned iterator = Owned::steal(PyObject_GetIter(patterns.get()));
    if (!iterator) return -1;
    while (Owned pattern = Owned::steal(PyIter_Next(iterator.get()))) {
        const int found = search_one(globals, pattern, text);
        if (found != 0) return found;
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

int match_pattern_lists(Borrowed globals, SearchText& text) {
    PyObject* complex;
    PyObject* simple;
    if (both_lists(globals, complex, simple)) {
        if (!plans[0] || !plans[0]->fits(complex)) plans[0] = make_plan(complex);
        if (!plans[1] || !plans[1]->fits(simple)) plans[1] = make_plan(simple);
        if (fully_native(*plans[0]) && fully_native(*plans[1])) {
            if (!pair_plan || pair_plan->complex != plans[0] || pair_plan->simple != plans[1]) {
                pair_plan = make_pair_plan(plans[0], plans[1]);
            }
            if (pair_plan->matcher) {
                // Nothing below runs Python code, so the borrowed lists are safe.
                const std::uint64_t found = pair_plan->matcher->scan(view_of(text), pair_plan->complex_bits);
                if (found & pair_plan->complex_bits) return kComplexMatch;
                return found ? kSimpleMatch : kNoMatch;
            }
        }
    }
    const names::Table& n = names::get();
    int found = any_pattern_matches(globals, n.complex_patterns, text);
    if (found != 0) return found < 0 ? -1 : kComplexMatch;
    found = any_pattern_matches(globals, n.simple_patterns, text);
    if (found != 0) return found < 0 ? -1 : kSimpleMatch;
    return kNoMatch;
}

}  // namespace halvec::core
