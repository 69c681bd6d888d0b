// The lazy DFA: states and transitions built as the text needs them, within
// the engine's memory budget, and the scans that run on them.
#include <algorithm>
#include <utility>

#include "engine/matcher.hpp"

namespace halvec::engine {
namespace {

// Tables that serve each of their states for fewer characters than this, on
// average, cost more to build than simulating the automaton would.
constexpr std::size_t kMinCharsPerState = 10;
// Row offsets are kept shifted left by one in a signed 32-bit entry.
constexpr std::size_t kMaxRowOffset = std::size_t{1} << 29;

std::uint32_t hash_of(const std::int32_t* set, std::size_t size, std::uint8_t behind) {
    std::uint32_t h = 0x9e3779b9u ^ (static_cast<std::uint32_t>(behind) * 0x85ebca6bu);
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

}  // namespace

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

// State 0 is the edge of a text: no positions, nothing read yet.
void Matcher::ensure_start() {
    if (states_.empty()) find_or_add(Vector<std::int32_t>(), kEdge & automaton_->mask());
}

bool Matcher::thrashing() const { return chars_since_drop_ < kMinCharsPerState * states_.size(); }

std::int32_t Matcher::find(const std::int32_t* set, std::size_t size, std::uint8_t behind,
                           std::uint32_t hash) const {
    if (index_.empty()) return -1;
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const std::int32_t id = index_[i];
        if (id < 0) return -1;
        const State& s = states_[static_cast<std::size_t>(id)];
        if (s.hash == hash && s.behind == behind && s.size == size &&
            std::equal(set, set + size, positions_.begin() + s.first)) {
            return id;
        }
    }
}

// The state for `set`, made if it is new and the budget has room for it.
// Everything the new state needs is allocated before anything changes, so a
// failed allocation leaves the tables as they were.
std::int32_t Matcher::find_or_add(const Vector<std::int32_t>& set, std::uint8_t behind) {
    const std::uint32_t hash = hash_of(set.data(), set.size(), behind);
    const std::int32_t found = find(set.data(), set.size(), behind, hash);
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
    states_.push_back({first, static_cast<std::uint32_t>(set.size()), hash, behind, false, 0});
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

// When the tables are full: first the other matchers give back theirs, then
// this one drops its own and starts again, unless that has stopped paying,
// in which case the scan goes on without tables.
Matcher::Move Matcher::compute(std::int32_t state, int cls, std::size_t& spent) {
    const State& s = states_[static_cast<std::size_t>(state)];
    const std::uint8_t behind = side(cls);
    const std::uint64_t emitted = step(positions_.data() + s.first, s.size, s.behind, cls, spent);
    std::int32_t target = find_or_add(next_set_, behind);
    if (target != kNoRoom && record(state, cls, target, emitted)) return {target, emitted};
    reclaim_all_but(this);
    if (target == kNoRoom) target = find_or_add(next_set_, behind);
    if (target != kNoRoom && record(state, cls, target, emitted)) return {target, emitted};
    if (!thrashing()) {
        drop_tables();
        ensure_start();
        // `state` went with the tables: the move is not recorded.
        target = find_or_add(next_set_, behind);
        if (target != kNoRoom) return {target, emitted};
    }
    return {kNoRoom, emitted};
}

void Matcher::pause(Scan& scan, std::int32_t state, std::size_t i, std::uint64_t found) {
    scan.pos = i;
    scan.found = found;
    const State& s = states_[static_cast<std::size_t>(state)];
    scan.set.assign(positions_.begin() + s.first, positions_.begin() + s.first + s.size);
    scan.behind = s.behind;
    scan.state = state;
    scan.generation = generation_;
}

// The state a paused (or new) scan stands in: kept if the tables are the
// ones it paused on, else found again from its positions; kNoRoom when even
// emptied tables have no room for it.
std::int32_t Matcher::resume(Scan& scan, std::uint8_t entry) {
    ensure_start();
    if (scan.pos == 0 && !scan.simulating && scan.generation == 0) {
        if (entry == (kEdge & automaton_->mask())) return 0;
        scan.set.clear();  // nothing read yet, beside a character of the text
        scan.behind = entry;
    }
    if (scan.generation == generation_) return scan.state;
    std::int32_t state = find_or_add(scan.set, scan.behind);
    if (state == kNoRoom) {
        drop_tables();
        ensure_start();
        state = find_or_add(scan.set, scan.behind);
    }
    return state;
}

void Matcher::finish(Scan& scan, std::size_t i, std::int32_t state, std::uint64_t found, std::uint64_t stop,
                     const Reading& r) {
    const std::size_t n = r.n;
    // Stopped early: kept resumable, should the caller want more.
    if (found & stop && scan.goes_on) pause(scan, state, i, found);
    if (i == n && !(found & stop)) {
        State& s = states_[static_cast<std::size_t>(state)];
        std::uint64_t final;
        if (r.exit != (kEdge & automaton_->mask())) {  // a window: the text goes on
            final = final_mask(positions_.data() + s.first, s.size, s.behind, r.exit);
        } else {
            if (!s.final_known) {
                s.final_mask = final_mask(positions_.data() + s.first, s.size, s.behind, r.exit);
                s.final_known = true;
            }
            final = s.final_mask;
        }
        if (final & scan.track) scan.last_match = n;
        found |= final;
        scan.ended = true;
    }
    scan.pos = i;
    scan.found = found;
    scan.done = true;
}

// The scan on rows: one table lookup per character once a state's row is
// built. The final "\n" (when it is a class of its own) is read apart, so
// the loop over the others tests nothing more.
template <class Char, bool Lower, bool Reverse>
void Matcher::run(const Char* p, const Reading& r, Scan& scan, std::uint64_t stop, std::size_t work) {
    const Alphabet& alphabet = automaton_->alphabet();
    const int* ascii = alphabet.ascii(Lower);
    const std::size_t columns = static_cast<std::size_t>(columns_);
    const std::int32_t resumed = resume(scan, r.entry);
    if (resumed == kNoRoom) {
        start_simulating(scan);
        return simulate<Char, Lower, Reverse>(p, r, scan, stop, work);
    }
    std::size_t row = static_cast<std::size_t>(resumed) * columns;
    const std::int32_t* next = next_.data();
    const std::uint64_t* emitted_masks = emitted_.data();
    const std::size_t n = r.n;
    std::size_t i = scan.pos;
    std::size_t counted = i;  // characters up to here are in chars_since_drop_
    std::uint64_t found = scan.found;
    std::size_t spent = 0;
    while (i < n) {
        const std::size_t limit = r.special >= i ? r.special : n;
        while (i < limit) {
            if (spent >= work) break;
            const int cls = class_of(static_cast<char32_t>(Reverse ? p[n - 1 - i] : p[i]), ascii);
            const std::int32_t entry = next[row + static_cast<std::size_t>(cls)];
            if (entry < 0) break;
            ++i;
            ++spent;
            const std::size_t from = row;
            row = static_cast<std::size_t>(entry >> 1);
            if (entry & 1) {
                const std::uint64_t emitted = emitted_masks[from + static_cast<std::size_t>(cls)];
                if (emitted & scan.track) scan.last_match = i - 1;
                found |= emitted;
                if (found & stop) break;
            }
        }
        if (found & stop || i >= n) break;
        if (spent >= work) {
            chars_since_drop_ += i - counted;
            return pause(scan, static_cast<std::int32_t>(row / columns), i, found);
        }
        // A transition not built yet, or the final "\n".
        const int cls = class_at<Char, Lower, Reverse>(p, r, i, ascii);
        const std::int32_t entry = next[row + static_cast<std::size_t>(cls)];
        if (entry >= 0) {
            ++i;
            ++spent;
            if (entry & 1) {
                const std::uint64_t emitted = emitted_masks[row + static_cast<std::size_t>(cls)];
                if (emitted & scan.track) scan.last_match = i - 1;
                found |= emitted;
            }
            row = static_cast<std::size_t>(entry >> 1);
            if (found & stop) break;
            continue;
        }
        chars_since_drop_ += i - counted;
        counted = i;
        const Move move = compute(static_cast<std::int32_t>(row / columns), cls, spent);
        if (move.emitted & scan.track) scan.last_match = i;
        found |= move.emitted;
        ++i;
        if (move.target == kNoRoom) {
            return continue_simulating<Char, Lower, Reverse>(p, r, scan, i, found, side(cls), stop,
                                                             work > spent ? work - spent : 1);
        }
        row = static_cast<std::size_t>(move.target) * columns;
        next = next_.data();  // the tables may have grown or been dropped
        emitted_masks = emitted_.data();
        if (found & stop) break;
    }
    chars_since_drop_ += i - counted;
    finish(scan, i, static_cast<std::int32_t>(row / columns), found, stop, r);
}

// The scan for programs with too many classes for rows: one hash lookup per
// character once a transition is known.
template <class Char, bool Lower, bool Reverse>
void Matcher::run_hashed(const Char* p, const Reading& r, Scan& scan, std::uint64_t stop, std::size_t work) {
    const int* ascii = automaton_->alphabet().ascii(Lower);
    std::int32_t state = resume(scan, r.entry);
    if (state == kNoRoom) {
        start_simulating(scan);
        return simulate<Char, Lower, Reverse>(p, r, scan, stop, work);
    }
    const std::size_t n = r.n;
    std::size_t i = scan.pos;
    std::size_t counted = i;
    std::uint64_t found = scan.found;
    std::size_t spent = 0;
    while (i < n) {
        if (spent >= work) {
            chars_since_drop_ += i - counted;
            return pause(scan, state, i, found);
        }
        const int cls = class_at<Char, Lower, Reverse>(p, r, i, ascii);
        if (const Edge* edge = find_edge(state, cls)) {
            if (edge->emitted & scan.track) scan.last_match = i;
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
        if (move.emitted & scan.track) scan.last_match = i;
        found |= move.emitted;
        ++i;
        if (move.target == kNoRoom) {
            return continue_simulating<Char, Lower, Reverse>(p, r, scan, i, found, side(cls), stop,
                                                             work > spent ? work - spent : 1);
        }
        state = move.target;
        if (found & stop) break;
    }
    chars_since_drop_ += i - counted;
    finish(scan, i, state, found, stop, r);
}

#define HALVEC_RUNS(Char, Lower, Reverse)                                                                    \
    template void Matcher::run<Char, Lower, Reverse>(const Char*, const Reading&, Scan&, std::uint64_t,        \
                                                     std::size_t);                                            \
    template void Matcher::run_hashed<Char, Lower, Reverse>(const Char*, const Reading&, Scan&, std::uint64_t, \
                                                            std::size_t);
HALVEC_RUNS(std::uint8_t, true, false)
HALVEC_RUNS(std::uint8_t, false, false)
HALVEC_RUNS(std::uint16_t, false, false)
HALVEC_RUNS(std::uint32_t, false, false)
HALVEC_RUNS(std::uint8_t, true, true)
HALVEC_RUNS(std::uint8_t, false, true)
HALVEC_RUNS(std::uint16_t, false, true)
HALVEC_RUNS(std::uint32_t, false, true)
#undef HALVEC_RUNS

}  // namespace halvec::engine
