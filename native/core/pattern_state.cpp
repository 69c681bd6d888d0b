#include "core/pattern_state.hpp"

#include "core/unicode_predicates.hpp"

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

bool ListPlan::fits(PyObject* list) {
    if (static_cast<std::size_t>(PyList_GET_SIZE(list)) != items.size()) return false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
        if (item == items[i].get()) continue;
        // Comparing two exact strs reads their characters and runs no Python code.
        if (!PyUnicode_CheckExact(item) || !PyUnicode_CheckExact(items[i].get()) ||
            PyUnicode_Compare(item, items[i].get()) != 0) {
            return false;
        }
        // The old object is an exact str: releasing it runs no Python code either.
        items[i] = Owned::take(item);
    }
    return true;
}

std::shared_ptr<ListPlan> PatternState::make_plan(PyObject* list) {
    auto plan = engine::make_shared<ListPlan>();
    const Py_ssize_t n = PyList_GET_SIZE(list);
    plan->items.reserve(static_cast<std::size_t>(n));
    plan->member.reserve(static_cast<std::size_t>(n));
    plan->compiled.reserve(static_cast<std::size_t>(n));
    engine::Vector<const engine::Node*> trees;
    bool all_native = true;
    // Entries are the engine's while it is within its budget; past it, the
    // rest go to `re`, so that no list, however many large patterns it holds,
    // makes the engine keep more.
    bool room = engine_has_room();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        std::shared_ptr<Compiled> compiled;
        int member = ListPlan::kByRe;
        if (room && PyUnicode_CheckExact(item)) {
            compiled = cache_.get(item);
            if (compiled->tree) {
                member = ListPlan::kAlone;
                if (trees.size() < engine::kMaxPatterns) {
                    member = static_cast<int>(trees.size());
                    trees.push_back(compiled->tree.get());
                }
            }
            room = engine_has_room();
        }
        all_native &= member >= 0;
        plan->items.push_back(Owned::take(item));
        plan->member.push_back(member);
        plan->compiled.push_back(std::move(compiled));
    }
    if (!trees.empty()) {
        plan->matcher = engine_has_room() ? combined_matcher(trees) : nullptr;
        if (!plan->matcher) {
            // Too large combined: each entry is then searched on its own.
            for (int& m : plan->member) m = m >= 0 ? ListPlan::kAlone : m;
            all_native = false;
        }
    }
    // Only entries searched on their own need their trees from here on.
    for (std::size_t i = 0; i < plan->member.size(); ++i) {
        if (plan->member[i] != ListPlan::kAlone) plan->compiled[i].reset();
    }
    plan->fully_native = all_native && plan->matcher;
    plan->serial = ++serials_;
    return plan;
}

std::shared_ptr<ListPlan> PatternState::plan_for(List which, PyObject* list, Retired& retired) {
    std::shared_ptr<ListPlan>& slot = lists_[which];
    if (slot && slot->fits(list)) return slot;
    std::shared_ptr<ListPlan> plan = make_plan(list);
    retired.keep(std::move(slot));
    slot = plan;
    return plan;
}

std::shared_ptr<PairPlan> PatternState::pair_for(const ListPlan& complex) const {
    if (pair_ && pair_->complex_serial == complex.serial) return pair_;
    return nullptr;
}

void PatternState::make_pair(const ListPlan& complex, const ListPlan& simple) {
    auto pair = engine::make_shared<PairPlan>();
    pair->complex_serial = complex.serial;
    pair->simple_serial = simple.serial;
    if (complex.items.size() + simple.items.size() <= engine::kMaxPatterns && engine_has_room()) {
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
