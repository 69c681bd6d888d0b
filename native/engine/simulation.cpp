// The automaton run without tables: what a DFA state's transition is made
// from, and the whole scan when tables no longer pay. Time linear in the
// text times the program's size; no memory beyond the scratch sized when
// the matcher was made.
#include <algorithm>
#include <utility>

#include "engine/closure.hpp"
#include "engine/matcher.hpp"

namespace halvec::engine {
namespace {

// What computing a transition costs beyond the positions it visits, in
// units of work (a unit is about one character on a built table).
constexpr std::size_t kStepCost = 16;

}  // namespace

// Collects in `consumers_` what the positions of `set` reach on empty moves,
// each position once: the consuming ones, and the Matches (set apart by
// their complement). Returns the positions visited.
std::size_t Matcher::close(const std::int32_t* set, std::size_t size, std::uint8_t behind, std::uint8_t ahead) {
    if (++stamp_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0u);
        stamp_ = 1;
    }
    consumers_.clear();
    const Automaton& a = *automaton_;
    std::size_t visited = 0;
    for (std::size_t k = 0; k < size; ++k) {
        visited += follow_empty_moves(
            a.program().insts(), set[k], a.left(behind, ahead), a.right(behind, ahead), stack_,
            [&](std::int32_t i) { return std::exchange(mark_[static_cast<std::size_t>(i)], stamp_) != stamp_; },
            [&](std::int32_t i, const Inst& inst) {
                consumers_.push_back(inst.op == Inst::Op::Match ? ~i : i);
                return true;
            });
    }
    return visited;
}

std::uint64_t Matcher::step(const std::int32_t* set, std::size_t size, std::uint8_t behind, int cls,
                            std::size_t& spent) {
    const Automaton& a = *automaton_;
    const Program& program = a.program();
    const Alphabet& alphabet = a.alphabet();
    const Vector<Inst>& insts = program.insts();
    const std::uint8_t ahead = side(cls);
    const std::size_t visited = close(set, size, behind, ahead);
    // A match may begin at any position: the start is part of every step.
    const Automaton::StartClosure& start = a.start(behind, ahead, start_scratch_);
    std::uint64_t matched = start.matches;
    next_set_.clear();
    for (const std::int32_t i : consumers_) {
        if (i < 0) {
            matched |= std::uint64_t{1} << insts[static_cast<std::size_t>(~i)].arg;
        } else if (alphabet.accepts(program, static_cast<std::size_t>(i), cls)) {
            next_set_.push_back(insts[static_cast<std::size_t>(i)].out);
        }
    }
    // The final "\n" is consumed by what consumes any "\n".
    const int literal = cls == alphabet.final_newline() ? alphabet.of(U'\n') : cls;
    const auto [first, last] = Automaton::literals_for(start, literal);
    for (auto it = first; it != last; ++it) next_set_.push_back(it->second);
    for (const std::int32_t i : start.others) {
        if (alphabet.accepts(program, static_cast<std::size_t>(i), cls)) {
            next_set_.push_back(insts[static_cast<std::size_t>(i)].out);
        }
    }
    std::sort(next_set_.begin(), next_set_.end());
    next_set_.erase(std::unique(next_set_.begin(), next_set_.end()), next_set_.end());
    spent += kStepCost + visited + start.others.size() + static_cast<std::size_t>(last - first);
    return matched;
}

std::uint64_t Matcher::final_mask(const std::int32_t* set, std::size_t size, std::uint8_t behind,
                                  std::uint8_t ahead) {
    const Automaton& a = *automaton_;
    const Vector<Inst>& insts = a.program().insts();
    close(set, size, behind, ahead);
    std::uint64_t matched = a.start(behind, ahead, start_scratch_).matches;
    for (const std::int32_t i : consumers_) {
        if (i < 0) matched |= std::uint64_t{1} << insts[static_cast<std::size_t>(~i)].arg;
    }
    return matched;
}

void Matcher::start_simulating(Scan& scan) {
    scan.simulating = true;
    scan.set.reserve(2 * automaton_->program().insts().size() + 8);
}

template <class Char, bool Lower, bool Reverse>
void Matcher::continue_simulating(const Char* p, const Reading& r, Scan& scan, std::size_t i, std::uint64_t found,
                                  std::uint8_t behind, std::uint64_t stop, std::size_t work) {
    start_simulating(scan);
    scan.set.assign(next_set_.begin(), next_set_.end());
    scan.behind = behind;
    scan.pos = i;
    scan.found = found;
    if (found & stop) {
        scan.done = true;
        return;
    }
    simulate<Char, Lower, Reverse>(p, r, scan, stop, work);
}

template <class Char, bool Lower, bool Reverse>
void Matcher::simulate(const Char* p, const Reading& r, Scan& scan, std::uint64_t stop, std::size_t work) {
    const int* ascii = automaton_->alphabet().ascii(Lower);
    if (scan.pos == 0 && scan.set.empty()) scan.behind = r.entry;
    std::size_t i = scan.pos;
    std::uint64_t found = scan.found;
    std::size_t spent = 0;
    while (i < r.n) {
        if (spent >= work) {
            scan.pos = i;
            scan.found = found;
            return;
        }
        const int cls = class_at<Char, Lower, Reverse>(p, r, i, ascii);
        const std::uint64_t emitted = step(scan.set.data(), scan.set.size(), scan.behind, cls, spent);
        if (emitted & scan.track) scan.last_match = i;
        found |= emitted;
        scan.set.assign(next_set_.begin(), next_set_.end());  // within its capacity
        scan.behind = side(cls);
        ++i;
        if (found & stop) break;
    }
    if (i == r.n && !(found & stop)) {
        const std::uint64_t final = final_mask(scan.set.data(), scan.set.size(), scan.behind, r.exit);
        if (final & scan.track) scan.last_match = r.n;
        found |= final;
        scan.ended = true;
    }
    scan.pos = i;
    scan.found = found;
    scan.done = true;
}

#define HALVEC_SIMULATIONS(Char, Lower, Reverse)                                                            \
    template void Matcher::simulate<Char, Lower, Reverse>(const Char*, const Reading&, Scan&, std::uint64_t, \
                                                          std::size_t);                                       \
    template void Matcher::continue_simulating<Char, Lower, Reverse>(                                         \
        const Char*, const Reading&, Scan&, std::size_t, std::uint64_t, std::uint8_t, std::uint64_t, std::size_t);
HALVEC_SIMULATIONS(std::uint8_t, true, false)
HALVEC_SIMULATIONS(std::uint8_t, false, false)
HALVEC_SIMULATIONS(std::uint16_t, false, false)
HALVEC_SIMULATIONS(std::uint32_t, false, false)
HALVEC_SIMULATIONS(std::uint8_t, true, true)
HALVEC_SIMULATIONS(std::uint8_t, false, true)
HALVEC_SIMULATIONS(std::uint16_t, false, true)
HALVEC_SIMULATIONS(std::uint32_t, false, true)
#undef HALVEC_SIMULATIONS

}  // namespace halvec::engine
