// Following the empty moves of a program from a position in the text: the
// splits, and the assertions that hold there. Shared by the DFA's state
// building, the table-free simulation and the preference-ordered search,
// which all see the positions reached in the order of preference (a split's
// first way before its second).
#pragma once

#include "engine/context.hpp"
#include "engine/program.hpp"

namespace halvec::engine {

// Follows the empty moves from `from`, between the `left` and `right` sides
// of the position. `first_visit(i)` marks a position and says whether it was
// new; `reached(i, inst)` is told of each Match and consuming position, in
// order of preference, and returns false to stop the walk (nothing less
// preferred is visited). Returns the positions visited.
template <class FirstVisit, class Reached>
std::size_t follow_empty_moves(const Vector<Inst>& insts, std::int32_t from, std::uint8_t left, std::uint8_t right,
                               Vector<std::int32_t>& stack, FirstVisit&& first_visit, Reached&& reached) {
    std::size_t visited = 0;
    stack.clear();
    stack.push_back(from);
    while (!stack.empty()) {
        const std::int32_t i = stack.back();
        stack.pop_back();
        if (!first_visit(i)) continue;
        ++visited;
        const Inst& inst = insts[static_cast<std::size_t>(i)];
        switch (inst.op) {
            case Inst::Op::Split:
                stack.push_back(inst.out1);
                stack.push_back(inst.out);
                break;
            case Inst::Op::Assert:
                if (holds(inst.assertion, left, right)) stack.push_back(inst.out);
                break;
            default:
                if (!reached(i, inst)) {
                    stack.clear();
                    return visited;
                }
                break;
        }
    }
    return visited;
}

}  // namespace halvec::engine
