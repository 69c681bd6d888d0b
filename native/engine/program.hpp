// A Thompson automaton for the union of up to 64 parsed patterns. Each
// pattern ends in its own Match instruction, so one pass over a text can
// tell which of them match somewhere in it.
//
// A program is built for one of three uses:
//   - Existence: which patterns match somewhere (the list scan). Order among
//     alternatives does not matter, so alternatives that are single
//     characters are gathered into one set: `(x|y|zz)` is one step over
//     {x, y} beside `zz`.
//   - Reverse: the same language read from right to left, to find where a
//     match starts (span search).
//   - Priority: one pattern, read left to right with `re`'s preferences: the
//     first alternative, greedy or lazy repetition, and `re`'s rule that a
//     repetition which matched the empty string is not repeated again (an
//     optional iteration that consumed nothing leaves the loop). Each split
//     lists the preferred way first.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "engine/context.hpp"
#include "engine/syntax.hpp"

namespace halvec::engine {

inline constexpr std::size_t kMaxPatterns = 64;

struct Inst {
    enum class Op : std::uint8_t {
        Char,    // consumes `ch`
        Set,     // consumes a character of set number `arg`
        Any,     // consumes anything but a line feed
        AnyAll,  // consumes anything
        Split,   // continues at `out`, then (less preferred) at `out1`
        Assert,  // continues at `out` where `assertion` holds
        Match,   // pattern `arg` has matched
    };
    Op op;
    AssertKind assertion = AssertKind::StartText;
    char32_t ch = 0;
    std::int32_t out = -1;
    std::int32_t out1 = -1;
    std::int32_t arg = 0;

    bool consumes() const { return op == Op::Char || op == Op::Set || op == Op::Any || op == Op::AnyAll; }
};

enum class Use : std::uint8_t { Existence, Reverse, Priority };

class Program {
public:
    // Compiles each tree as pattern number i; false when the program would
    // grow past its bound. May throw std::bad_alloc.
    bool build(const Vector<const Node*>& patterns, Use use = Use::Existence);

    const Vector<Inst>& insts() const { return insts_; }
    int start() const { return start_; }
    std::size_t pattern_count() const { return patterns_; }
    const Vector<CharSet>& sets() const { return sets_; }
    bool reverse() const { return use_ == Use::Reverse; }
    // The context bits (context.hpp) that some assertion of the program
    // looks at; the others make no difference to it.
    std::uint8_t context_mask() const { return context_mask_; }

private:
    int emit(Inst inst);
    // Compiles `node` to continue at `next` when it has matched; returns its
    // entry, or -1 past the size bound.
    int compile(const Node& node, int next);
    int compile_repeat(const Node& node, int next);
    int compile_alternate(const Node& node, int next);
    // A copy of instructions [first, last) that continues at `exit` where the
    // original continued at `loop`, and goes back to the original after any
    // instruction that consumes a character; returns the copy's entry for
    // the original `entry`.
    int copy_without_progress(int first, int last, int entry, int loop, int exit);
    int set_number(const Node& node);
    int add_set(CharSet set);

    Vector<Inst> insts_;
    Vector<CharSet> sets_;
    using SetNumbers = std::unordered_map<const Node*, int, std::hash<const Node*>, std::equal_to<>,
                                          Allocator<std::pair<const Node* const, int>>>;
    SetNumbers set_nodes_;  // while building: the number of each set node
    int start_ = -1;
    std::size_t patterns_ = 0;
    std::size_t steps_ = 0;  // nodes visited while building
    std::size_t set_chars_ = 0;
    Use use_ = Use::Existence;
    std::uint8_t context_mask_ = 0;
};

}  // namespace halvec::engine
