#include "engine/matcher.hpp"

#include <algorithm>
#include <utility>

namespace halvec::engine {
namespace {

// Tables that serve each of their states for fewer characters than this, on
// average, cost more to build than simulating the automaton would.
constexpr std::size_t kMinCharsPerState = 10;
// What computing a transition costs beyond the positions it visits, in
// units of work (a unit is about one character on a built table).
constexpr std::size_t kStepCost = 16;
// Row offsets are kept shifted left by one in a signed 32-bit entry.
constexpr std::size_t kMaxRowOffset = std::size_t{1} << 29;

std::uint32_t hash_of(const std::int32_t* set, std::size_t size, bool prev_word) {
    std::uint32_t h = prev_word ? 0x9e3779b9u : 0x85ebca6bu;
    for (std::size_t i = 0; i < size; ++i) {
        h = (h ^ static_cast<std::uint32_t>(set[i])) * 0x01000193u;
        h ^= h >> 15;
    }
    return h;
}

std::uint64_t edge_key(std::int32_t state, int cls) {
    return (static_cast<std::uint64_t>(state) + 1) << 32 | static_cast<std::uint32_t>(cls);
}

std::size_t edge_slot(std::uint64_t key, std::size_t mask) {
    return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ull) >> 20) & mask;
}

// The capacity a vector must grow to for `more` elements (half again as
// much, so that growth stays amortised), or its capacity when it has room.
template <class V>
std::size_t grown_capacity(const V& v, std::size_t more) {
    if (v.capacity() - v.size() >= more) return v.capacity();
    return std::max(v.size() + more, v.capacity() + v.capacity() / 2);
}

template <class V>
std::size_t growth_bytes(const V& v, std::size_t capacity) {
    return capacity == v.capacity() ? 0 : capacity * sizeof(typename V::value_type);
}

// Follows the empty moves from `from`, with the characters on either side of
// the position known (which decides \b and \B). `first_visit(i)` marks a
// position and says whether it was new; `reached(i, inst)` is told of each
// Match and consuming position. Returns the positions visited.
template <class FirstVisit, class Reached>
std::size_t follow_empty_moves(const Vector<Inst>& insts, std::int32_t from, bool prev_word, bool next_word,
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
            case Inst::Op::WordBoundary:
                if (prev_word != next_word) stack.push_back(inst.out);
                break;
            case Inst::Op::NotWordBoundary:
                if (prev_word == next_word) stack.push_back(inst.out);
                break;
            default:
                reached(i, inst);
                break;
        }
    }
    return visited;
}

}  // namespace

Automaton::Automaton(Program program, const Predicates& predicates)
    : program_(std::move(program)), alphabet_(program_, predicates) {
    const Vector<Inst>& insts = program_.insts();
    Vector<std::uint8_t> seen(insts.size());
    Vector<std::int32_t> stack;
    for (int prev_word = 0; prev_word < 2; ++prev_word) {
        for (int next_word = 0; next_word < 2; ++next_word) {
            std::fill(seen.begin(), seen.end(), std::uint8_t{0});
            auto& literals = start_literals_[prev_word][next_word];
            auto& others = start_others_[prev_word][next_word];
            follow_empty_moves(
                insts, program_.start(), prev_word, next_word, stack,
                [&](std::int32_t i) { return !std::exchange(seen[static_cast<std::size_t>(i)], 1); },
                [&](std::int32_t i, const Inst& inst) {
                    if (inst.op == Inst::Op::Match) {
                        start_matches_[prev_word][next_word] |= std::uint64_t{1} << inst.pattern;
                    } else if (inst.op == Inst::Op::Literal) {
                        literals.emplace_back(alphabet_.literal_class(static_cast<std::size_t>(i)), inst.out);
                    } else {
                        others.push_back(i);
                    }
                });
            std::sort(literals.begin(), literals.end());
            literals.erase(std::unique(literals.begin(), literals.end()), literals.end());
            literals.shrink_to_fit();
            others.shrink_to_fit();
        }
    }
}

Matcher::Matcher(std::shared_ptr<const Automaton> automaton)
    : automaton_(std::move(automaton)),
      columns_(automaton_->alphabet().count() <= kMaxColumns ? automaton_->alphabet().count() : 0) {}

// Scratch for steps, sized so that a step never allocates; made when a scan
// needs it, given back with the tables.
void Matcher::ensure_scratch() {
    if (!mark_.empty()) return;
    const std::size_t n = automaton_->program().insts().size();
    Vector<std::uint32_t> mark(n, 0);
    stack_.reserve(3 * n + 8);
    consumers_.reserve(n + 8);
    next_set_.reserve(2 * n + 8);
    mark_.swap(mark);
    stamp_ = 0;
}

void Matcher::reclaim() noexcept {
    if (busy()) return;
    drop_tables();
    Vector<std::uint32_t>().swap(mark_);
    Vector<std::int32_t>().swap(stack_);
    Vector<std::int32_t>().swap(consumers_);
    Vector<std::int32_t>().swap(next_set_);
}

void Matcher::drop_tables() noexcept {
    if (states_.empty() && edges_.empty()) return;
    Vector<State>().swap(states_);
    Vector<std::int32_t>().swap(positions_);
    Vector<std::int32_t>().swap(index_);
    Vector<std::int32_t>().swap(next_);
    Vector<std::uint64_t>().swap(emitted_);
    Vector<Edge>().swap(edges_);
    edge_count_ = 0;
    ++generation_;
    chars_since_drop_ = 0;
}

// State 0 is the start of a text: no positions, no word before it.
void Matcher::ensure_start() {
    if (states_.empty()) find_or_add(Vector<std::int32_t>(), false);
}

bool Matcher::thrashing() const { return chars_since_drop_ < kMinCharsPerState * states_.size(); }

std::int32_t Matcher::find(const std::int32_t* set, std::size_t size, bool prev_word,
                           std::uint32_t hash) const {
    if (index_.empty()) return -1;
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const std::int32_t id = index_[i];
        if (id < 0) return -1;
        const State& s = states_[static_cast<std::size_t>(id)];
        if (s.hash == hash && s.prev_word == prev_word && s.size == size &&
            std::equal(set, set + size, positions_.begin() + s.first)) {
            return id;
        }
    }
}

// The state for `set`, made if it is new and the budget has room for it.
// Everything the new state needs is allocated before anything changes, so a
// failed allocation leaves the tables as they were.
std::int32_t Matcher::find_or_add(const Vector<std::int32_t>& set, bool prev_word) {
    const std::uint32_t hash = hash_of(set.data(), set.size(), prev_word);
    const std::int32_t found = find(set.data(), set.size(), prev_word, hash);
    if (found >= 0) return found;

    const std::size_t id = states_.size();
    const std::size_t columns = static_cast<std::size_t>(columns_);
    const bool start = id == 0;
    const std::size_t states_cap = grown_capacity(states_, 1);
    const std::size_t positions_cap = grown_capacity(positions_, set.size());
    const std::size_t next_cap = grown_capacity(next_, columns);
    const std::size_t emitted_cap = grown_capacity(emitted_, columns);
    const bool grow_index = (id + 1) * 2 > index_.size();
    const std::size_t index_size = grow_index ? std::max<std::size_t>(16, index_.size() * 2) : index_.size();
    const std::size_t bytes = growth_bytes(states_, states_cap) + growth_bytes(positions_, positions_cap) +
                              growth_bytes(next_, next_cap) + growth_bytes(emitted_, emitted_cap) +
                              (grow_index ? index_size * sizeof(std::int32_t) : 0);
    // The start state is always made: a scan cannot begin without it.
    if (!start && ((id + 1) * std::max<std::size_t>(columns, 1) >= kMaxRowOffset || memory::over_budget(bytes))) {
        return kNoRoom;
    }

    Vector<std::int32_t> index;
    if (grow_index) index.assign(index_size, -1);
    states_.reserve(states_cap);
    positions_.reserve(positions_cap);
    next_.reserve(next_cap);
    emitted_.reserve(emitted_cap);

    // Nothing below allocates.
    const auto first = static_cast<std::uint32_t>(positions_.size());
    positions_.insert(positions_.end(), set.begin(), set.end());
    states_.push_back({first, static_cast<std::uint32_t>(set.size()), hash, prev_word, false, 0});
    next_.resize(next_.size() + columns, -1);
    emitted_.resize(emitted_.size() + columns, 0);
    if (grow_index) {
        index_.swap(index);
        for (std::size_t s = 0; s < id; ++s) {
            std::size_t i = states_[s].hash & (index_.size() - 1);
            while (index_[i] >= 0) i = (i + 1) & (index_.size() - 1);
            index_[i] = static_cast<std::int32_t>(s);
        }
    }
    std::size_t i = hash & (index_.size() - 1);
    while (index_[i] >= 0) i = (i + 1) & (index_.size() - 1);
    index_[i] = static_cast<std::int32_t>(id);
    return static_cast<std::int32_t>(id);
}

const Matcher::Edge* Matcher::find_edge(std::int32_t state, int cls) const {
    if (edges_.empty()) return nullptr;
    const std::uint64_t key = edge_key(state, cls);
    const std::size_t mask = edges_.size() - 1;
    for (std::size_t i = edge_slot(key, mask);; i = (i + 1) & mask) {
        const Edge& e = edges_[i];
        if (e.key == key) return &e;
        if (e.key == 0) return nullptr;
    }
}

// Writes the transition into its row, or into the hash table (made larger
// first, within the budget); false when there is no room for it.
bool Matcher::record(std::int32_t state, int cls, std::int32_t target, std::uint64_t emitted) {
    if (columns_) {
        const std::size_t columns = static_cast<std::size_t>(columns_);
        const std::size_t slot = static_cast<std::size_t>(state) * columns + static_cast<std::size_t>(cls);
        next_[slot] = static_cast<std::int32_t>(static_cast<std::size_t>(target) * columns << 1) | (emitted != 0);
        emitted_[slot] = emitted;
        return true;
    }
    if ((edge_count_ + 1) * 2 > edges_.size()) {
        const std::size_t size = std::max<std::size_t>(64, edges_.size() * 2);
        if (memory::over_budget(size * sizeof(Edge))) return false;
        Vector<Edge> grown(size, Edge{0, 0, 0});
        for (const Edge& e : edges_) {
            if (!e.key) continue;
            std::size_t i = edge_slot(e.key, size - 1);
            while (grown[i].key) i = (i + 1) & (size - 1);
            grown[i] = e;
        }
        edges_.swap(grown);
    }
    const std::uint64_t key = edge_key(state, cls);
    std::size_t i = edge_slot(key, edges_.size() - 1);
    while (edges_[i].key) i = (i + 1) & (edges_.size() - 1);
    edges_[i] = {key, target, emitted};
    ++edge_count_;
    return true;
}

// Collects in `consumers_` what the positions of `set` reach on empty moves,
// each position once: the consuming ones, and the Matches (set apart by
// their complement). Returns the positions visited.
std::size_t Matcher::close(const std::int32_t* set, std::size_t size, bool prev_word, bool next_word) {
    if (++stamp_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0u);
        stamp_ = 1;
    }
    consumers_.clear();
    std::size_t visited = 0;
    for (std::size_t k = 0; k < size; ++k) {
        visited += follow_empty_moves(
            automaton_->program().insts(), set[k], prev_word, next_word, stack_,
            [&](std::int32_t i) { return std::exchange(mark_[static_cast<std::size_t>(i)], stamp_) != stamp_; },
            [&](std::int32_t i, const Inst& inst) { consumers_.push_back(inst.op == Inst::Op::Match ? ~i : i); });
    }
    return visited;
}

std::uint64_t Matcher::step(const std::int32_t* set, std::size_t size, bool prev_word, int cls,
                            std::size_t& spent) {
    const Automaton& a = *automaton_;
    const Program& program = a.program();
    const Alphabet& alphabet = a.alphabet();
    const Vector<Inst>& insts = program.insts();
    const bool next_word = alphabet.word(cls);
    const std::size_t visited = close(set, size, prev_word, next_word);
    std::uint64_t matched = a.start_matches(prev_word, next_word);
    next_set_.clear();
    for (const std::int32_t i : consumers_) {
        if (i < 0) {
            matched |= std::uint64_t{1} << insts[static_cast<std::size_t>(~i)].pattern;
        } else if (alphabet.accepts(program, static_cast<std::size_t>(i), cls)) {
            next_set_.push_back(insts[static_cast<std::size_t>(i)].out);
        }
    }
    // A match may begin at any position: the start is part of every step.
    const auto& literals = a.start_literals(prev_word, next_word);
    const auto taken = std::equal_range(literals.begin(), literals.end(), std::pair<std::int32_t, std::int32_t>{cls, 0},
                                        [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto it = taken.first; it != taken.second; ++it) next_set_.push_back(it->second);
    const Vector<std::int32_t>& others = a.start_others(prev_word, next_word);
    for (const std::int32_t i : others) {
        if (alphabet.accepts(program, static_cast<std::size_t>(i), cls)) {
            next_set_.push_back(insts[static_cast<std::size_t>(i)].out);
        }
    }
    std::sort(next_set_.begin(), next_set_.end());
    next_set_.erase(std::unique(next_set_.begin(), next_set_.end()), next_set_.end());
    spent += kStepCost + visited + others.size() + static_cast<std::size_t>(taken.second - taken.first);
    return matched;
}

// The patterns that match at the end of the text, after `set`.
std::uint64_t Matcher::final_mask(const std::int32_t* set, std::size_t size, bool prev_word) {
    const Vector<Inst>& insts = automaton_->program().insts();
    close(set, size, prev_word, false);
    std::uint64_t matched = automaton_->start_matches(prev_word, false);
    for (const std::int32_t i : consumers_) {
        if (i < 0) matched |= std::uint64_t{1} << insts[static_cast<std::size_t>(~i)].pattern;
    }
    return matched;
}

// When the tables are full: first the other matchers give back theirs, then
// this one drops its own and starts again, unless that has stopped paying,
// in which case the scan goes on without tables.
Matcher::Move Matcher::compute(std::int32_t state, int cls, std::size_t& spent) {
    const State& s = states_[static_cast<std::size_t>(state)];
    const bool word = automaton_->alphabet().word(cls);
    const std::uint64_t emitted = step(positions_.data() + s.first, s.size, s.prev_word, cls, spent);
    std::int32_t target = find_or_add(next_set_, word);
    if (target != kNoRoom && record(state, cls, target, emitted)) return {target, emitted};
    reclaim_all_but(this);
    if (target == kNoRoom) target = find_or_add(next_set_, word);
    if (target != kNoRoom && record(state, cls, target, emitted)) return {target, emitted};
    if (!thrashing()) {
        drop_tables();
        ensure_start();
        // `state` went with the tables: the move is not recorded.
        target = find_or_add(next_set_, word);
        if (target != kNoRoom) return {target, emitted};
    }
    return {kNoRoom, emitted};
}

void Matcher::start_simulating(Scan& scan) {
    scan.simulating = true;
    scan.set.reserve(2 * automaton_->program().insts().size() + 8);
}

void Matcher::pause(Scan& scan, std::int32_t state, std::size_t i, std::uint64_t found) {
    scan.pos = i;
    scan.found = found;
    const State& s = states_[static_cast<std::size_t>(state)];
    scan.set.assign(positions_.begin() + s.first, positions_.begin() + s.first + s.size);
    scan.prev_word = s.prev_word;
    scan.state = state;
    scan.generation = generation_;
}

// The state a paused (or new) scan stands in: kept if the tables are the
// ones it paused on, else found again from its positions; kNoRoom when even
// emptied tables have no room for it.
std::int32_t Matcher::resume(Scan& scan) {
    ensure_start();
    if (scan.generation == generation_) return scan.state;
    std::int32_t state = find_or_add(scan.set, scan.prev_word);
    if (state == kNoRoom) {
        drop_tables();
        ensure_start();
        state = find_or_add(scan.set, scan.prev_word);
    }
    return state;
}

void Matcher::finish(Scan& scan, std::size_t i, std::int32_t state, std::uint64_t found, std::uint64_t stop,
                     std::size_t n) {
    if (i == n && !(found & stop)) {
        State& s = states_[static_cast<std::size_t>(state)];
        if (!s.final_known) {
            s.final_mask = final_mask(positions_.data() + s.first, s.size, s.prev_word);
            s.final_known = true;
        }
        found |= s.final_mask;
    }
    scan.pos = i;
    scan.found = found;
    scan.done = true;
}

template <class Char, bool Lower>
void Matcher::continue_simulating(const Char* p, std::size_t n, Scan& scan, std::size_t i, std::uint64_t found,
                                  bool word, std::uint64_t stop, std::size_t work) {
    start_simulating(scan);
    scan.set.assign(next_set_.begin(), next_set_.end());
    scan.prev_word = word;
    scan.pos = i;
    scan.found = found;
    if (found & stop) {
        scan.done = true;
        return;
    }
    simulate<Char, Lower>(p, n, scan, stop, work);
}

// The scan on rows: one table lookup per character once a state's row is built.
template <class Char, bool Lower>
void Matcher::run(const Char* p, std::size_t n, Scan& scan, std::uint64_t stop, std::size_t work) {
    const Alphabet& alphabet = automaton_->alphabet();
    const int* ascii = alphabet.ascii(Lower);
    const std::size_t columns = static_cast<std::size_t>(columns_);
    const std::int32_t resumed = resume(scan);
    if (resumed == kNoRoom) {
        start_simulating(scan);
        return simulate<Char, Lower>(p, n, scan, stop, work);
    }
    std::size_t row = static_cast<std::size_t>(resumed) * columns;
    const std::int32_t* next = next_.data();
    const std::uint64_t* emitted_masks = emitted_.data();
    std::size_t i = scan.pos;
    std::size_t counted = i;  // characters up to here are in chars_since_drop_
    std::uint64_t found = scan.found;
    std::size_t spent = 0;
    while (i < n) {
        if (spent >= work) {
            chars_since_drop_ += i - counted;
            return pause(scan, static_cast<std::int32_t>(row / columns), i, found);
        }
        const int cls = class_of(static_cast<char32_t>(p[i]), ascii);
        const std::int32_t entry = next[row + static_cast<std::size_t>(cls)];
        if (entry >= 0) [[likely]] {
            ++i;
            ++spent;
            if (entry & 1) {
                found |= emitted_masks[row + static_cast<std::size_t>(cls)];
                if (found & stop) break;
            }
            row = static_cast<std::size_t>(entry >> 1);
            continue;
        }
        chars_since_drop_ += i - counted;
        counted = i;
        const Move move = compute(static_cast<std::int32_t>(row / columns), cls, spent);
        found |= move.emitted;
        ++i;
        if (move.target == kNoRoom) {
            return continue_simulating<Char, Lower>(p, n, scan, i, found, alphabet.word(cls), stop,
                                                    work > spent ? work - spent : 1);
        }
        row = static_cast<std::size_t>(move.target) * columns;
        next = next_.data();  // the tables may have grown or been dropped
        emitted_masks = emitted_.data();
        if (found & stop) break;
    }
    chars_since_drop_ += i - counted;
    finish(scan, i, static_cast<std::int32_t>(row / columns), found, stop, n);
}

// The scan for programs with too many classes for rows: one hash lookup per
// character once a transition is known.
template <class Char, bool Lower>
void Matcher::run_hashed(const Char* p, std::size_t n, Scan& scan, std::uint64_t stop, std::size_t work) {
    const Alphabet& alphabet = automaton_->alphabet();
    const int* ascii = alphabet.ascii(Lower);
    std::int32_t state = resume(scan);
    if (state == kNoRoom) {
        start_simulating(scan);
        return simulate<Char, Lower>(p, n, scan, stop, work);
    }
    std::size_t i = scan.pos;
    std::size_t counted = i;
    std::uint64_t found = scan.found;
    std::size_t spent = 0;
    while (i < n) {
        if (spent >= work) {
            chars_since_drop_ += i - counted;
            return pause(scan, state, i, found);
        }
        const int cls = class_of(static_cast<char32_t>(p[i]), ascii);
        if (const Edge* edge = find_edge(state, cls)) {
            ++i;
            spent += 2;
            found |= edge->emitted;
            state = edge->target;
            if (found & stop) break;
            continue;
        }
        chars_since_drop_ += i - counted;
        counted = i;
        const Move move = compute(state, cls, spent);
        found |= move.emitted;
        ++i;
        if (move.target == kNoRoom) {
            return continue_simulating<Char, Lower>(p, n, scan, i, found, alphabet.word(cls), stop,
                                                    work > spent ? work - spent : 1);
        }
        state = move.target;
        if (found & stop) break;
    }
    chars_since_drop_ += i - counted;
    finish(scan, i, state, found, stop, n);
}

template <class Char, bool Lower>
void Matcher::simulate(const Char* p, std::size_t n, Scan& scan, std::uint64_t stop, std::size_t work) {
    const Alphabet& alphabet = automaton_->alphabet();
    const int* ascii = alphabet.ascii(Lower);
    std::size_t i = scan.pos;
    std::uint64_t found = scan.found;
    std::size_t spent = 0;
    while (i < n) {
        if (spent >= work) {
            scan.pos = i;
            scan.found = found;
            return;
        }
        const int cls = class_of(static_cast<char32_t>(p[i]), ascii);
        found |= step(scan.set.data(), scan.set.size(), scan.prev_word, cls, spent);
        scan.set.assign(next_set_.begin(), next_set_.end());  // within its capacity
        scan.prev_word = alphabet.word(cls);
        ++i;
        if (found & stop) break;
    }
    if (i == n && !(found & stop)) found |= final_mask(scan.set.data(), scan.set.size(), scan.prev_word);
    scan.pos = i;
    scan.found = found;
    scan.done = true;
}

void Matcher::advance(const Text& text, Scan& scan, std::uint64_t stop, std::size_t work) {
    if (scan.done) return;
    ensure_scratch();
    const std::size_t n = text.end - text.start;
    auto go = [&](auto* p, auto lower) {
        using Char = std::remove_const_t<std::remove_pointer_t<decltype(p)>>;
        constexpr bool kLower = decltype(lower)::value;
        if (scan.simulating) simulate<Char, kLower>(p, n, scan, stop, work);
        else if (columns_) run<Char, kLower>(p, n, scan, stop, work);
        else run_hashed<Char, kLower>(p, n, scan, stop, work);
    };
    switch (text.width) {
        case 1: {
            const auto* p = static_cast<const std::uint8_t*>(text.data) + text.start;
            if (text.lower_ascii) go(p, std::true_type{});
            else go(p, std::false_type{});
            return;
        }
        case 2: return go(static_cast<const std::uint16_t*>(text.data) + text.start, std::false_type{});
        default: return go(static_cast<const std::uint32_t*>(text.data) + text.start, std::false_type{});
    }
}

}  // namespace halvec::engine
