#include "engine/spans.hpp"

#include <algorithm>
#include <utility>

#include "engine/closure.hpp"

namespace halvec::engine {

PrioritySearch::PrioritySearch(std::shared_ptr<const Automaton> automaton) : automaton_(std::move(automaton)) {
    const std::size_t n = automaton_->program().insts().size();
    current_.reserve(n);
    next_.reserve(n);
    stack_.reserve(2 * n + 8);
    mark_.assign(n, 0);
}

int PrioritySearch::class_at(const Text& text, std::size_t k) const {
    if (final_newline_ && k + 1 == text.size()) return automaton_->alphabet().final_newline();
    return automaton_->alphabet().of(text.at(k));
}

// The side of position `pos` to its left (the character before it) or to
// its right (the one at it).
std::uint8_t PrioritySearch::side_at(const Text& text, std::size_t pos, bool right) const {
    const std::uint8_t mask = automaton_->mask();
    if (right ? pos == text.size() : pos == 0) return kEdge & mask;
    return automaton_->alphabet().side(class_at(text, right ? pos : pos - 1)) & mask;
}

bool PrioritySearch::add(Vector<std::int32_t>& list, std::int32_t from, std::size_t pos, std::uint8_t left,
                         std::uint8_t right, std::size_t& spent) {
    bool matched = false;
    spent += follow_empty_moves(
        automaton_->program().insts(), from, left, right, stack_,
        [&](std::int32_t i) { return std::exchange(mark_[static_cast<std::size_t>(i)], stamp_) != stamp_; },
        [&](std::int32_t i, const Inst& inst) {
            if (inst.op == Inst::Op::Match) {
                end_ = pos;
                matched = true;
                return false;  // whatever is less preferred is dropped
            }
            list.push_back(i);
            return true;
        });
    return !matched;
}

void PrioritySearch::begin(const Text& text, std::size_t from) {
    final_newline_ = automaton_->alphabet().final_newline() != automaton_->alphabet().of(U'\n') &&
                     text.size() && text.at(text.size() - 1) == U'\n';
    end_ = kNone;
    pos_ = from;
    current_.clear();
    if (++stamp_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0u);
        stamp_ = 1;
    }
    std::size_t spent = 0;
    add(current_, automaton_->program().start(), from, side_at(text, from, false), side_at(text, from, true), spent);
}

bool PrioritySearch::backtrack(const Text& text, std::size_t from, std::size_t to) {
    // Visits at most this many (instruction, position) pairs: a table of
    // 8 KiB, a walk of well under a millisecond.
    constexpr std::size_t kMaxVisits = std::size_t{1} << 16;
    const Automaton& a = *automaton_;
    const Program& program = a.program();
    const Vector<Inst>& insts = program.insts();
    const std::size_t width = to - from + 1;
    if (to < from || width > kMaxVisits / std::max<std::size_t>(insts.size(), 1)) return false;
    const std::size_t words = (insts.size() * width + 63) / 64;
    if (visited_.size() < words) visited_.resize(words);
    std::fill(visited_.begin(), visited_.begin() + static_cast<std::ptrdiff_t>(words), 0);
    final_newline_ = a.alphabet().final_newline() != a.alphabet().of(U'\n') && text.size() &&
                     text.at(text.size() - 1) == U'\n';
    // The class of each character the walk may read, once.
    classes_.resize(to - from);
    for (std::size_t k = from; k < to; ++k) classes_[k - from] = class_at(text, k);
    end_ = kNone;
    trail_.clear();
    trail_.emplace_back(program.start(), from);
    while (!trail_.empty()) {
        const auto [i, pos] = trail_.back();
        trail_.pop_back();
        const std::size_t bit = static_cast<std::size_t>(i) * width + (pos - from);
        if (visited_[bit >> 6] >> (bit & 63) & 1) continue;  // failed from here before
        visited_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
        const Inst& inst = insts[static_cast<std::size_t>(i)];
        switch (inst.op) {
            case Inst::Op::Split:
                trail_.emplace_back(inst.out1, pos);
                trail_.emplace_back(inst.out, pos);
                break;
            case Inst::Op::Assert:
                if (holds(inst.assertion, side_at(text, pos, false), side_at(text, pos, true))) {
                    trail_.emplace_back(inst.out, pos);
                }
                break;
            case Inst::Op::Match:
                end_ = pos;
                trail_.clear();
                return true;
            default:
                if (pos < to && a.alphabet().accepts(program, static_cast<std::size_t>(i), classes_[pos - from])) {
                    trail_.emplace_back(inst.out, pos + 1);
                }
                break;
        }
    }
    return true;
}

bool PrioritySearch::advance(const Text& text, std::size_t work) {
    const Automaton& a = *automaton_;
    const Program& program = a.program();
    const Vector<Inst>& insts = program.insts();
    std::size_t spent = 0;
    while (!current_.empty() && pos_ < text.size()) {
        if (spent >= work) return false;
        const int cls = class_at(text, pos_);
        const std::uint8_t left = a.alphabet().side(cls) & a.mask();
        const std::uint8_t right = side_at(text, pos_ + 1, true);
        if (++stamp_ == 0) {
            std::fill(mark_.begin(), mark_.end(), 0u);
            stamp_ = 1;
        }
        next_.clear();
        for (const std::int32_t t : current_) {
            ++spent;
            if (!a.alphabet().accepts(program, static_cast<std::size_t>(t), cls)) continue;
            if (!add(next_, insts[static_cast<std::size_t>(t)].out, pos_ + 1, left, right, spent)) break;
        }
        current_.swap(next_);
        ++pos_;
    }
    current_.clear();
    return true;
}

SpanSearch::SpanSearch(std::shared_ptr<Matcher> reverse, std::shared_ptr<PrioritySearch> priority)
    : reverse_(std::move(reverse)), use_(*reverse_), priority_(std::move(priority)), priority_use_(*priority_) {
    scan_.track = 1;
}

bool SpanSearch::advance(const Text& text, std::size_t work) {
    if (!scan_.done) {
        reverse_->advance(windowed_ ? text.window(from_, to_) : text, scan_, 0, work);
        if (!scan_.done) return false;
        if (scan_.last_match == Scan::kNone) {
            if (!windowed_) return true;  // no match at all
            windowed_ = false;  // the caller's bounds were wrong: the whole text, rather than no answer
            scan_ = Scan{};
            scan_.track = 1;
            return false;
        }
        start_ = (windowed_ ? to_ : text.size()) - scan_.last_match;
    }
    if (!started_) {
        const std::size_t rest = text.size() - start_;
        if (priority_->backtrack(text, start_, start_ + (longest_ == kUnbounded ? rest : std::min(longest_, rest)))) {
            found_ = priority_->matched();
            end_ = priority_->end();
            return true;
        }
        priority_->begin(text, start_);
        started_ = true;
    }
    if (!priority_->advance(text, work)) return false;
    found_ = priority_->matched();
    end_ = priority_->end();
    return true;
}

}  // namespace halvec::engine
