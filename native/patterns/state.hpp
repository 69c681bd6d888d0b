// What the classifier keeps between calls: the compile cache, the plan for
// each of the two pattern lists, and the plan that decides both in one scan.
// It belongs to the module object, which reports the Python references in it
// to the collector and releases them when the module is cleared or freed.
//
// Plans are shared: a call takes its own reference to every plan and matcher
// it uses before anything can run Python code, so a plan replaced or cleared
// meanwhile (by a finaliser, a signal handler, another thread, the
// collector) lives on until that call is done with it.
#pragma once

#include "patterns/cache.hpp"

namespace halvec::core {

// How the entries of one list are decided: the exact strs it was made from
// (held, so identity tests against them stay meaningful; null for an entry
// of another type, which `re` searches), and for each the
// matcher and bit that answer for it, or `re`. The engine's entries are
// grouped, in list order, into segments of up to 64 patterns, each searched
// by one matcher in one scan.
struct ListPlan {
    static constexpr std::int32_t kByRe = -1;
    engine::Vector<Owned> items;
    engine::Vector<std::int32_t> segment;  // per entry: its matcher, or kByRe
    engine::Vector<std::uint8_t> bit;      // per entry: its pattern number in that matcher
    engine::Vector<std::shared_ptr<engine::Matcher>> matchers;  // in list order
    std::uint64_t serial = 0;                                  // tells plans apart
    bool fully_native = false;                                 // no entry goes to `re`

    // Whether the list still holds the same texts; equal texts in new objects
    // are adopted, which keeps the next check to a pointer comparison.
    bool fits(PyObject* list);

    ListPlan() = default;
    ListPlan(const ListPlan&) = delete;
    ListPlan& operator=(const ListPlan&) = delete;
    // A plan being built when the interpreter ends its thread at exit goes
    // without the GIL: its entries are then left as they are.
    ~ListPlan();
};

// Long loops over the entries of a list stop this often for signal handlers.
inline constexpr std::size_t kEntriesBetweenSignalChecks = 256;

// Both lists in one scan: the complex list's patterns take the low bits.
struct PairPlan {
    std::shared_ptr<engine::Matcher> matcher;  // null: the two do not fit in one program
    std::uint64_t complex_serial = 0;
    std::uint64_t simple_serial = 0;
    std::uint64_t complex_bits = 0;
};

// Plans replaced during one call, released when the call is done with them.
class Retired {
public:
    void keep(std::shared_ptr<ListPlan> plan) noexcept {
        for (auto& slot : plans_) {
            if (!slot) {
                slot = std::move(plan);
                return;
            }
        }
    }

private:
    std::shared_ptr<ListPlan> plans_[4];
};

class PatternState {
public:
    enum List { kComplex = 0, kSimple = 1 };

    // The plan for `list` (an exact list) in slot `which`: the current one
    // if it still fits, else a new one, the old one going to `retired`;
    // nullptr with an exception set if a signal handler raised meanwhile or
    // memory ran out. `paused` tells whether making the plan stopped for
    // signal handlers: the list may no longer hold what the plan was made of.
    std::shared_ptr<ListPlan> plan_for(List which, PyObject* list, Retired& retired, bool& paused);
    // The plan for both lists, if it was made from this complex list's plan.
    std::shared_ptr<PairPlan> pair_for(const ListPlan& complex) const;
    // Whether two plans can be one: all the engine's, within one program's width.
    static bool pairable(const ListPlan& complex, const ListPlan& simple);
    // False with MemoryError set when memory ran out; the state is unchanged then.
    bool make_pair(const ListPlan& complex, const ListPlan& simple);

    CompileCache& cache() { return cache_; }

    int traverse(visitproc visit, void* arg) const;
    // Drops everything; the Python references go last, when nothing points
    // into the state any more.
    void clear() noexcept;

private:
    std::shared_ptr<ListPlan> make_plan(PyObject* list, bool& paused);
    void make_pair_or_throw(const ListPlan& complex, const ListPlan& simple);

    CompileCache cache_;
    std::shared_ptr<ListPlan> lists_[2];
    std::shared_ptr<PairPlan> pair_;
    std::uint64_t serials_ = 0;
};

}  // namespace halvec::core
