#include "engine/automaton.hpp"

#include <algorithm>
#include <utility>

#include "engine/closure.hpp"

namespace halvec::engine {

Automaton::Automaton(Program program, const Predicates& predicates)
    : program_(std::move(program)), alphabet_(program_, predicates), mask_(program_.context_mask()) {}

void Automaton::build_start(std::uint8_t behind, std::uint8_t ahead, StartClosure& out) const {
    const Vector<Inst>& insts = program_.insts();
    Vector<std::uint8_t> seen(insts.size());
    Vector<std::int32_t> stack;
    out.matches = 0;
    out.literals.clear();
    out.others.clear();
    follow_empty_moves(
        insts, program_.start(), left(behind, ahead), right(behind, ahead), stack,
        [&](std::int32_t i) { return !std::exchange(seen[static_cast<std::size_t>(i)], 1); },
        [&](std::int32_t i, const Inst& inst) {
            if (inst.op == Inst::Op::Match) {
                out.matches |= std::uint64_t{1} << inst.arg;
            } else if (inst.op == Inst::Op::Char) {
                out.literals.emplace_back(alphabet_.literal_class(static_cast<std::size_t>(i)), inst.out);
            } else {
                out.others.push_back(i);
            }
            return true;
        });
    std::sort(out.literals.begin(), out.literals.end());
    out.literals.erase(std::unique(out.literals.begin(), out.literals.end()), out.literals.end());
    out.literals.shrink_to_fit();
    out.others.shrink_to_fit();
}

const Automaton::StartClosure& Automaton::start(std::uint8_t behind, std::uint8_t ahead,
                                                StartClosure& scratch) const {
    const auto key = static_cast<std::uint16_t>(behind << 8 | ahead);
    for (const auto& [k, closure] : starts_) {
        if (k == key) return *closure;
    }
    if (memory::over_budget(program_.insts().size() * 2 * sizeof(std::int32_t))) {
        build_start(behind, ahead, scratch);
        return scratch;
    }
    auto made = engine::make_shared<StartClosure>();
    build_start(behind, ahead, *made);
    starts_.emplace_back(key, made);
    return *made;
}

std::pair<const std::pair<std::int32_t, std::int32_t>*, const std::pair<std::int32_t, std::int32_t>*>
Automaton::literals_for(const StartClosure& closure, int cls) {
    const auto range = std::equal_range(closure.literals.begin(), closure.literals.end(),
                                        std::pair<std::int32_t, std::int32_t>{cls, 0},
                                        [](const auto& x, const auto& y) { return x.first < y.first; });
    return {closure.literals.data() + (range.first - closure.literals.begin()),
            closure.literals.data() + (range.second - closure.literals.begin())};
}

}  // namespace halvec::engine
