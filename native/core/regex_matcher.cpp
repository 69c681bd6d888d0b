#include "core/regex_matcher.hpp"

#include <algorithm>
#include <cstring>

namespace halvec::core::regex {
namespace {

// Past this many DFA states the cache is dropped and rebuilt from the state
// in hand: memory stays bounded, and each character still costs at most one
// state computation, so the scan stays linear.
constexpr std::size_t kMaxStates = 1024;

std::string state_key(const std::vector<int>& set, bool prev_word) {
    std::string key(1 + set.size() * sizeof(int), '\0');
    key[0] = prev_word ? '\1' : '\0';
    if (!set.empty()) std::memcpy(key.data() + 1, set.data(), set.size() * sizeof(int));
    return key;
}

}  // namespace

Matcher::Matcher(Program program, const Predicates& predicates)
    : program_(std::move(program)), predicates_(predicates) {
    const std::vector<char32_t>& literals = program_.literals();
    const int nliterals = static_cast<int>(literals.size());
    classes_ = nliterals + kCategories;
    class_flags_.resize(static_cast<std::size_t>(classes_));
    for (int i = 0; i < nliterals; ++i) class_flags_[static_cast<std::size_t>(i)] = flags_of(literals[i]);
    for (int f = 0; f < kCategories; ++f) class_flags_[static_cast<std::size_t>(nliterals + f)] = static_cast<std::uint8_t>(f);
    wide_literals_ = !literals.empty() && literals.back() >= 0x80;

    const std::vector<Inst>& insts = program_.insts();
    literal_class_.assign(insts.size(), -1);
    for (std::size_t i = 0; i < insts.size(); ++i) {
        if (insts[i].op != Inst::Op::Literal) continue;
        auto it = std::lower_bound(literals.begin(), literals.end(), insts[i].ch);
        literal_class_[i] = static_cast<int>(it - literals.begin());
    }
    for (char32_t c = 0; c < 128; ++c) {
        auto it = std::lower_bound(literals.begin(), literals.end(), c);
        ascii_class_[c] = it != literals.end() && *it == c ? static_cast<int>(it - literals.begin())
                                                           : nliterals + flags_of(c);
    }
    for (char32_t c = 0; c < 128; ++c) {
        const char32_t lowered = c >= U'A' && c <= U'Z' ? c + 32 : c;
        lowered_ascii_class_[c] = ascii_class_[lowered];
    }
    mark_.assign(insts.size(), 0);
    add_state({}, false);  // state 0: the start of the text
}

std::uint8_t Matcher::flags_of(char32_t c) const {
    std::uint8_t f = 0;
    if (predicates_.is_word(c)) f |= kWord;
    if (predicates_.is_digit(c)) f |= kDigit;
    if (predicates_.is_space(c)) f |= kSpace;
    if (c == U'\n') f |= kNewline;
    return f;
}

int Matcher::class_of_wide(char32_t c) const {
    if (wide_literals_) {
        const std::vector<char32_t>& literals = program_.literals();
        auto it = std::lower_bound(literals.begin(), literals.end(), c);
        if (it != literals.end() && *it == c) return static_cast<int>(it - literals.begin());
    }
    return static_cast<int>(program_.literals().size()) + flags_of(c);
}

int Matcher::add_state(std::vector<int>&& set, bool prev_word) {
    std::string key = state_key(set, prev_word);
    auto found = index_.find(key);
    if (found != index_.end()) return found->second;
    const int id = static_cast<int>(states_.size());
    states_.push_back(State{std::move(set), prev_word});
    next_.resize(next_.size() + static_cast<std::size_t>(classes_), -1);
    emitted_.resize(emitted_.size() + static_cast<std::size_t>(classes_), 0);
    index_.emplace(std::move(key), id);
    return id;
}

// Follows the empty moves from `set` and the start (a match may begin at any
// position) with the characters on either side known; collects the
// consuming positions and the patterns that have matched.
void Matcher::closure(const std::vector<int>& set, bool prev_word, bool next_word) {
    const std::vector<Inst>& insts = program_.insts();
    if (++stamp_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0);
        stamp_ = 1;
    }
    consuming_.clear();
    closure_mask_ = 0;
    stack_.assign(set.begin(), set.end());
    stack_.push_back(program_.start());
    while (!stack_.empty()) {
        const int i = stack_.back();
        stack_.pop_back();
        if (mark_[static_cast<std::size_t>(i)] == stamp_) continue;
        mark_[static_cast<std::size_t>(i)] = stamp_;
        const Inst& inst = insts[static_cast<std::size_t>(i)];
        switch (inst.op) {
            case Inst::Op::Split:
                stack_.push_back(inst.out1);
                stack_.push_back(inst.out);
                break;
            case Inst::Op::WordBoundary:
                if (prev_word != next_word) stack_.push_back(inst.out);
                break;
            case Inst::Op::NotWordBoundary:
                if (prev_word == next_word) stack_.push_back(inst.out);
                break;
            case Inst::Op::Match:
                closure_mask_ |= std::uint64_t{1} << inst.pattern;
                break;
            case Inst::Op::Literal:
            case Inst::Op::Any:
            case Inst::Op::Class:
                consuming_.push_back(i);
                break;
        }
    }
}

bool Matcher::consumes(const Inst& inst, int inst_index, int cls) const {
    const std::uint8_t f = class_flags_[static_cast<std::size_t>(cls)];
    switch (inst.op) {
        case Inst::Op::Literal: return literal_class_[static_cast<std::size_t>(inst_index)] == cls;
        case Inst::Op::Any: return !(f & kNewline);
        case Inst::Op::Class:
            switch (inst.cls) {
                case ClassKind::Digit: return f & kDigit;
                case ClassKind::NotDigit: return !(f & kDigit);
                case ClassKind::Space: return f & kSpace;
                case ClassKind::NotSpace: return !(f & kSpace);
                case ClassKind::Word: return f & kWord;
                case ClassKind::NotWord: return !(f & kWord);
            }
            return false;
        default: return false;
    }
}

Matcher::Step Matcher::compute(int state, int cls) {
    const bool word = class_flags_[static_cast<std::size_t>(cls)] & kWord;
    closure(states_[static_cast<std::size_t>(state)].set, states_[static_cast<std::size_t>(state)].prev_word, word);
    const std::uint64_t emitted = closure_mask_;
    std::vector<int> next;
    const std::vector<Inst>& insts = program_.insts();
    for (int i : consuming_) {
        const Inst& inst = insts[static_cast<std::size_t>(i)];
        if (consumes(inst, i, cls)) next.push_back(inst.out);
    }
    std::sort(next.begin(), next.end());
    next.erase(std::unique(next.begin(), next.end()), next.end());

    if (states_.size() >= kMaxStates) {
        states_.clear();
        next_.clear();
        emitted_.clear();
        index_.clear();
        add_state({}, false);  // state 0 stays the start of a text
        return {add_state(std::move(next), word), emitted};
    }
    const int target = add_state(std::move(next), word);
    const std::size_t slot = static_cast<std::size_t>(state) * static_cast<std::size_t>(classes_) +
                             static_cast<std::size_t>(cls);
    next_[slot] = (target * classes_) << 1 | (emitted != 0);
    emitted_[slot] = emitted;
    return {target, emitted};
}

std::uint64_t Matcher::final_mask(int state) {
    State& s = states_[static_cast<std::size_t>(state)];
    if (!s.final_known) {
        closure(s.set, s.prev_word, false);
        s.final_mask = closure_mask_;
        s.final_known = true;
    }
    return s.final_mask;
}

template <class Char, bool Lower>
std::uint64_t Matcher::run(const Char* p, std::size_t n, std::uint64_t stop) {
    const int* ascii = Lower ? lowered_ascii_class_ : ascii_class_;
    std::uint64_t mask = 0;
    std::int32_t row = 0;  // state 0, the start of a text
    const std::int32_t* next = next_.data();
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = p[i];
        const int cls = c < 128 ? ascii[c] : class_of_wide(c);
        const std::int32_t entry = next[row + cls];
        if (entry >= 0) [[likely]] {
            if (entry & 1) {
                mask |= emitted_[static_cast<std::size_t>(row + cls)];
                if (mask & stop) return mask;
            }
            row = entry >> 1;
            continue;
        }
        const Step step = compute(row / classes_, cls);
        next = next_.data();  // the table may have grown or been dropped
        mask |= step.emitted;
        if (mask & stop) return mask;
        row = step.next * classes_;
    }
    return mask | final_mask(row / classes_);
}

std::uint64_t Matcher::scan(const Text& text, std::uint64_t stop) {
    const std::size_t n = text.end - text.start;
    switch (text.width) {
        case 1: {
            const auto* p = static_cast<const std::uint8_t*>(text.data) + text.start;
            return text.lower_ascii ? run<std::uint8_t, true>(p, n, stop)
                                    : run<std::uint8_t, false>(p, n, stop);
        }
        case 2: return run<std::uint16_t, false>(static_cast<const std::uint16_t*>(text.data) + text.start, n, stop);
        default: return run<std::uint32_t, false>(static_cast<const std::uint32_t*>(text.data) + text.start, n, stop);
    }
}

}  // namespace halvec::core::regex
