#include "patterns/state.hpp"

#include <algorithm>

#include "common/signals.hpp"
#include "patterns/unicode_predicates.hpp"

namespace halvec::core {
namespace {

// A matcher for `trees`, or nullptr when they do not fit in one program.
std::shared_ptr<engine::Matcher> combined_matcher(const engine::Vector<const engine::Node*>& trees) {
    engine::Program program;
    if (!program.build(trees)) return nullptr;
    auto automaton = engine::make_shared<engine::Automaton>(std::move(program), unicode_predicates());
    return engine::make_shared<engine::Matcher>(std::move(automaton));
}

}  // namespace

ListPlan::~ListPlan() {
    if (holds_interpreter()) return;  // the entries go as usual
    for (Owned& item : items) (void)item.release();
}

bool ListPlan::fits(PyObject* list) {
    if (static_cast<std::size_t>(PyList_GET_SIZE(list)) != items.size()) return false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
        if (item == items[i].get()) continue;
        // An entry of any other type goes to `re` whichever object it is.
        if (!items[i]) {
            if (PyUnicode_CheckExact(item)) return false;
            continue;
        }
        // Comparing two exact strs reads their characters and runs no Python code.
        if (!PyUnicode_CheckExact(item) || PyUnicode_Compare(item, items[i].get()) != 0) return false;
        // The old object is an exact str: releasing it runs no Python code either.
        items[i] = Owned::take(item);
    }
    return true;
}

namespace {

// Matchers for `trees` (in order) into `plan`, as few as the programs'
// bounds allow: a group too large for one program is split in two. Entries
// left without one (no room in the budget) go to `re`.
void add_segments(ListPlan& plan, const engine::Vector<std::size_t>& entries,
                  const engine::Vector<const engine::Node*>& trees, std::size_t first, std::size_t count) {
    if (!engine_has_room()) return;
    engine::Vector<const engine::Node*> group(trees.begin() + static_cast<std::ptrdiff_t>(first),
                                              trees.begin() + static_cast<std::ptrdiff_t>(first + count));
    std::shared_ptr<engine::Matcher> matcher = combined_matcher(group);
    if (!matcher && count > 1) {
        add_segments(plan, entries, trees, first, count / 2);
        add_segments(plan, entries, trees, first + count / 2, count - count / 2);
        return;
    }
    // A single pattern fits (the cache keeps trees only of those that do).
    if (!matcher) return;
    const auto number = static_cast<std::int32_t>(plan.matchers.size());
    plan.matchers.push_back(std::move(matcher));
    for (std::size_t k = 0; k < count; ++k) {
        plan.segment[entries[first + k]] = number;
        plan.bit[entries[first + k]] = static_cast<std::uint8_t>(k);
    }
}

}  // namespace

std::shared_ptr<ListPlan> PatternState::make_plan(PyObject* list, bool& paused) {
    auto plan = engine::make_shared<ListPlan>();
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
    plan->segment.assign(n, ListPlan::kByRe);
    plan->bit.assign(n, 0);
    // The entries as they are now: compiling a long list stops for signal
    // handlers, which may edit it.
    // Only exact strs are held: they have no finaliser, so holding them is not
    // seen; an object of another type goes when the list lets it go, as it
    // would without the plan.
    plan->items.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
        plan->items.push_back(PyUnicode_CheckExact(item) ? Owned::take(item) : Owned{});
    }
    // Entries are the engine's while it is within its budget; past it, the
    // rest go to `re`, so that no list, however many large patterns it holds,
    // makes the engine keep more.
    // One group of entries at a time, with what keeps its trees alive until
    // its matchers are made.
    engine::Vector<std::shared_ptr<Compiled>> compiled;
    engine::Vector<const engine::Node*> trees;
    engine::Vector<std::size_t> entries;
    auto add_group = [&] {
        if (!trees.empty()) add_segments(*plan, entries, trees, 0, trees.size());
        compiled.clear();
        trees.clear();
        entries.clear();
    };
    bool room = engine_has_room();
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kEntriesBetweenSignalChecks == kEntriesBetweenSignalChecks - 1) {
            paused = true;
            if (check_signals() < 0) return nullptr;
        }
        PyObject* item = plan->items[i].get();
        if (!room || !item) continue;
        compiled.push_back(cache_.get(item));
        if (compiled.back()->tree) {
            trees.push_back(compiled.back()->tree.get());
            entries.push_back(i);
        }
        if (trees.size() == engine::kMaxPatterns) add_group();
        room = engine_has_room();
    }
    add_group();
    plan->fully_native = std::find(plan->segment.begin(), plan->segment.end(), ListPlan::kByRe) ==
                         plan->segment.end();
    plan->serial = ++serials_;
    return plan;
}

std::shared_ptr<ListPlan> PatternState::plan_for(List which, PyObject* list, Retired& retired, bool& paused) {
    paused = false;
    std::shared_ptr<ListPlan>& slot = lists_[which];
    if (slot && slot->fits(list)) return slot;
    std::shared_ptr<ListPlan> plan;
    try {
        plan = make_plan(list, paused);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!plan) return nullptr;
    retired.keep(std::move(slot));
    slot = plan;
    return plan;
}

std::shared_ptr<PairPlan> PatternState::pair_for(const ListPlan& complex) const {
    if (pair_ && pair_->complex_serial == complex.serial) return pair_;
    return nullptr;
}

bool PatternState::pairable(const ListPlan& complex, const ListPlan& simple) {
    return complex.fully_native && simple.fully_native && complex.matchers.size() == 1 &&
           simple.matchers.size() == 1 && complex.items.size() + simple.items.size() <= engine::kMaxPatterns;
}

bool PatternState::make_pair(const ListPlan& complex, const ListPlan& simple) {
    try {
        make_pair_or_throw(complex, simple);
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

void PatternState::make_pair_or_throw(const ListPlan& complex, const ListPlan& simple) {
    auto pair = engine::make_shared<PairPlan>();
    pair->complex_serial = complex.serial;
    pair->simple_serial = simple.serial;
    if (pairable(complex, simple) && engine_has_room()) {
        // Every entry of both is an exact str the engine compiles (the plans
        // are fully native), found in the cache or compiled again.
        engine::Vector<std::shared_ptr<Compiled>> compiled;
        engine::Vector<const engine::Node*> trees;
        for (const ListPlan* plan : {&complex, &simple}) {
            for (const Owned& item : plan->items) {
                compiled.push_back(cache_.get(item.get()));
                if (compiled.back()->tree) trees.push_back(compiled.back()->tree.get());
            }
        }
        if (trees.size() == compiled.size()) {
            pair->matcher = combined_matcher(trees);
            // Fewer than 64: the simple list has at least one entry.
            pair->complex_bits = (std::uint64_t{1} << complex.items.size()) - 1;
        }
    }
    pair_ = std::move(pair);  // the old pair holds no Python objects
}

int PatternState::traverse(visitproc visit, void* arg) const {
    for (const auto& plan : lists_) {
        if (!plan) continue;
        for (const Owned& item : plan->items) Py_VISIT(item.get());
    }
    return 0;
}

void PatternState::clear() noexcept {
    std::shared_ptr<ListPlan> complex = std::move(lists_[kComplex]);
    std::shared_ptr<ListPlan> simple = std::move(lists_[kSimple]);
    pair_.reset();
    cache_.clear();
    // `complex` and `simple` go now, and with them their references.
}

}  // namespace halvec::core
