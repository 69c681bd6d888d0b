// Decides, in one pass over a text, which patterns of a program match
// somewhere in it (Python's `re.search` semantics), and for a reversed
// program, where the leftmost match starts.
//
// The lazy DFA (dfa.cpp) is built from the program as the text needs it: a
// state is the set of program positions alive after a character, plus the
// side that character makes (context.hpp), so assertions are resolved when
// the next character is seen. Its tables live within the engine's memory
// budget. When they would grow past it they are dropped and rebuilt from the
// state in hand; when that happens so often that the tables no longer pay
// (each state used for only a few characters), the scan goes on by
// simulating the automaton directly (simulation.cpp), which needs no tables:
// time linear in the text times the program's size, memory fixed when the
// matcher is made. The list scan (list_scan.cpp) drives either over a text,
// forwards or backwards, in bounded slices of work, so a caller can do other
// things (such as checking for signals) between slices and then resume.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/automaton.hpp"

namespace halvec::engine {

// A run of code points in 1-, 2- or 4-byte storage. With `lower_ascii` the
// text is ASCII and is searched as if lower-cased. A run may be a window onto
// a longer text: `before` and `after` count the text's characters on either
// side of it, which the assertions at the window's edges see (a word
// boundary there is decided by the character beyond).
struct Text {
    const void* data;
    int width;
    std::size_t start;
    std::size_t end;
    bool lower_ascii;
    std::size_t before = 0;
    std::size_t after = 0;

    std::size_t size() const { return end - start; }
    char32_t at(std::size_t i) const { return raw(start + i); }  // the i-th character of the run
    // Characters [from, to) of this run, the rest of it as context.
    Text window(std::size_t from, std::size_t to) const {
        return {data, width, start + from, start + to, lower_ascii, before + from, after + (size() - to)};
    }
    char32_t raw(std::size_t k) const {  // the k-th character of the storage
        char32_t c;
        switch (width) {
            case 1: c = static_cast<const std::uint8_t*>(data)[k]; break;
            case 2: c = static_cast<const std::uint16_t*>(data)[k]; break;
            default: c = static_cast<const std::uint32_t*>(data)[k]; break;
        }
        return lower_ascii && c >= U'A' && c <= U'Z' ? c + 32 : c;
    }
};

// How far a scan has got. Made fresh for each text; the matcher fills it in.
// A reversed program reads the text from its end: `pos` then counts the
// characters read from the right.
struct Scan {
    std::size_t pos = 0;      // characters consumed
    std::uint64_t found = 0;  // bit i: pattern i has matched
    // The text is finished, or a stopping pattern matched. In the second
    // case the scan can go on: clear `done` and advance with another `stop`,
    // unless `goes_on` was cleared (the stop then keeps nothing to resume).
    bool done = false;
    bool goes_on = true;
    // Patterns whose last match is tracked: `last_match` is the value of
    // `pos` when one of them last matched (before that character was read),
    // or kNone.
    std::uint64_t track = 0;
    static constexpr std::size_t kNone = ~std::size_t{0};
    std::size_t last_match = kNone;

private:
    friend class Matcher;
    std::uint64_t generation = 0;  // of the tables `state` belongs to
    std::int32_t state = 0;
    bool simulating = false;
    std::uint8_t behind = 0;   // the side read last, while simulating or paused
    bool ended = false;        // the matches at the end of the text are counted: nothing is left
    Vector<std::int32_t> set;  // the state as positions, while simulating or paused
};

class Matcher final : public Reclaimable {
public:
    // May throw std::bad_alloc.
    explicit Matcher(std::shared_ptr<const Automaton> automaton);
    ~Matcher() override { unregister(); }
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;

    const std::shared_ptr<const Automaton>& automaton() const { return automaton_; }

    // Moves `scan` on over `text` until the text is finished, a pattern in
    // `stop` has matched, or about `work` units of work are spent (a unit is
    // about one character on a table that is built). May throw
    // std::bad_alloc; the matcher stays usable.
    void advance(const Text& text, Scan& scan, std::uint64_t stop, std::size_t work);

    // A matcher in use by a scan (which may pause) is not to be used by
    // another scan, nor have its tables dropped.
    bool busy() const noexcept { return busy_.load(std::memory_order_relaxed); }
    class Use {
    public:
        explicit Use(Matcher& m) noexcept : m_(m) { m_.busy_.store(true, std::memory_order_relaxed); }
        ~Use() { m_.busy_.store(false, std::memory_order_relaxed); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        Matcher& m_;
    };

    void reclaim() noexcept override;

    // Programs with more classes than this keep their transitions in a hash
    // table rather than in a row per state, which would be huge.
    static constexpr int kMaxColumns = 256;

private:
    struct State {
        std::uint32_t first;  // of its positions in `positions_`
        std::uint32_t size;
        std::uint32_t hash;
        std::uint8_t behind;
        bool final_known;
        std::uint64_t final_mask;
    };
    // A transition in the hash table: (state + 1) << 32 | class, 0 for none.
    struct Edge {
        std::uint64_t key;
        std::int32_t target;
        std::uint64_t emitted;
    };
    struct Move {
        std::int32_t target;  // kNoRoom: go on without tables from `next_set_`
        std::uint64_t emitted;
    };
    static constexpr std::int32_t kNoRoom = -1;

    // Where the text is read from, which of its characters is a final "\n"
    // of a class of its own, and what lies beyond either end of the reading.
    struct Reading {
        std::size_t n;
        std::size_t special;  // index (in reading order) of the final "\n", or n
        std::uint8_t entry;   // the side behind the first character read (masked)
        std::uint8_t exit;    // the side ahead of the last one (masked)
    };

    template <class Char, bool Lower, bool Reverse>
    void run(const Char* p, const Reading& r, Scan& scan, std::uint64_t stop, std::size_t work);
    template <class Char, bool Lower, bool Reverse>
    void run_hashed(const Char* p, const Reading& r, Scan& scan, std::uint64_t stop, std::size_t work);
    template <class Char, bool Lower, bool Reverse>
    void simulate(const Char* p, const Reading& r, Scan& scan, std::uint64_t stop, std::size_t work);
    template <class Char, bool Lower, bool Reverse>
    int class_at(const Char* p, const Reading& r, std::size_t i, const int* ascii) {
        if (i == r.special) return automaton_->alphabet().final_newline();
        return class_of(static_cast<char32_t>(Reverse ? p[r.n - 1 - i] : p[i]), ascii);
    }
    // Ends a scan at character `i` in `state` (at the end of the text: with
    // the patterns that match there).
    void finish(Scan& scan, std::size_t i, std::int32_t state, std::uint64_t found, std::uint64_t stop,
                const Reading& r);
    // Continues `scan` without tables from the positions in `next_set_`.
    template <class Char, bool Lower, bool Reverse>
    void continue_simulating(const Char* p, const Reading& r, Scan& scan, std::size_t i, std::uint64_t found,
                             std::uint8_t behind, std::uint64_t stop, std::size_t work);

    int class_of(char32_t c, const int* ascii) {
        if (c < 128) return ascii[c];
        const std::size_t slot = c % kWideSlots;
        if (wide_chars_[slot] != c) {
            wide_classes_[slot] = automaton_->alphabet().of_wide(c);
            wide_chars_[slot] = c;
        }
        return wide_classes_[slot];
    }
    std::uint8_t side(int cls) const { return automaton_->alphabet().side(cls) & automaton_->mask(); }
    // One step of the automaton from `set` on a character of `cls`: the next
    // positions land in `next_set_`; returns the patterns that matched
    // before the character. Adds its cost to `spent`.
    std::uint64_t step(const std::int32_t* set, std::size_t size, std::uint8_t behind, int cls, std::size_t& spent);
    // The patterns that match after `set` where the reading ends: at the
    // edge of the text, or before a character of side `ahead`.
    std::uint64_t final_mask(const std::int32_t* set, std::size_t size, std::uint8_t behind, std::uint8_t ahead);
    // The side of the character at `k` of the storage, read as the text's
    // own (its final "\n" being a class of its own).
    std::uint8_t side_outside(const Text& text, std::size_t k) const;
    std::size_t close(const std::int32_t* set, std::size_t size, std::uint8_t behind, std::uint8_t ahead);

    // The move from `state` on `cls`, computed, and recorded where there is room.
    Move compute(std::int32_t state, int cls, std::size_t& spent);
    bool record(std::int32_t state, int cls, std::int32_t target, std::uint64_t emitted);
    const Edge* find_edge(std::int32_t state, int cls) const;
    std::int32_t find_or_add(const Vector<std::int32_t>& set, std::uint8_t behind);
    std::int32_t find(const std::int32_t* set, std::size_t size, std::uint8_t behind, std::uint32_t hash) const;
    void drop_tables() noexcept;
    void ensure_start();
    void ensure_scratch();
    bool thrashing() const;
    // Enters simulation from the state in `scan.set` (the caller has put it there).
    void start_simulating(Scan& scan);
    // Stops a scan at character `i` in `state`, to be resumed later.
    void pause(Scan& scan, std::int32_t state, std::size_t i, std::uint64_t found);
    std::int32_t resume(Scan& scan, std::uint8_t entry);

    std::shared_ptr<const Automaton> automaton_;
    const int columns_;  // 0: transitions in `edges_`
    std::atomic<bool> busy_{false};  // a thread ended at exit may clear it without the GIL

    // The classes of the wide characters read lately, in front of
    // Alphabet::of_wide (a search and the interpreter's Unicode tables): a
    // text in Chinese or Russian reads the same few hundred characters again
    // and again. Only the scan that uses the matcher touches it; 0, an ASCII
    // character, marks an empty slot.
    static constexpr std::size_t kWideSlots = 512;
    char32_t wide_chars_[kWideSlots] = {};
    std::int32_t wide_classes_[kWideSlots] = {};

    // The DFA. With columns, a row is a state's transitions, one entry per
    // class: -1 until computed, else the target's row offset shifted left by
    // one, with the low bit set when the transition finds matches (in
    // `emitted_`). Without, each transition is an entry of `edges_`.
    Vector<State> states_;
    Vector<std::int32_t> positions_;
    Vector<std::int32_t> index_;  // open addressing over states_, a power of two in size
    Vector<std::int32_t> next_;
    Vector<std::uint64_t> emitted_;
    Vector<Edge> edges_;  // open addressing, a power of two in size
    std::size_t edge_count_ = 0;
    std::uint64_t generation_ = 1;
    std::size_t chars_since_drop_ = 0;  // characters scanned since the tables were last dropped

    // Scratch, sized when the matcher is made so that a step never allocates.
    Vector<std::uint32_t> mark_;
    std::uint32_t stamp_ = 0;
    Vector<std::int32_t> stack_;
    Vector<std::int32_t> consumers_;
    Vector<std::int32_t> next_set_;
    Automaton::StartClosure start_scratch_;
};

}  // namespace halvec::engine
