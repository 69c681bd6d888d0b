// Decides, in one left-to-right pass, which patterns of a Program match
// somewhere in a text (Python's `re.search` semantics).
//
// A DFA is built lazily from the program: a state is the set of program
// positions alive after a character, plus whether that character was a word
// character, so `\b` and `\B` are resolved when the next character is seen.
// Its tables live within the engine's memory budget. When they would grow
// past it they are dropped and rebuilt from the state in hand; when that
// happens so often that the tables no longer pay (each state used for only a
// few characters), the scan goes on by simulating the automaton directly,
// which needs no tables: time linear in the text times the program's size,
// memory fixed when the matcher is made.
//
// A scan advances in bounded slices of work, so a caller can do other things
// (such as checking for signals) between slices and then resume it.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/alphabet.hpp"

namespace halvec::engine {

// A run of code points in 1-, 2- or 4-byte storage. With `lower_ascii` the
// text is ASCII and is searched as if lower-cased.
struct Text {
    const void* data;
    int width;
    std::size_t start;
    std::size_t end;
    bool lower_ascii;
};

// The fixed part of a search: program and alphabet, shared by every matcher
// that runs it.
class Automaton {
public:
    // May throw std::bad_alloc.
    Automaton(Program program, const Predicates& predicates);

    const Program& program() const { return program_; }
    const Alphabet& alphabet() const { return alphabet_; }

    // What the start reaches on empty moves, with the characters on either
    // side known: the patterns that match there, and the consuming
    // positions. Literals are kept by the class they consume (as class,
    // position pairs, sorted), so that a step finds those that take its
    // character without looking at the others: an alternation of thousands
    // of words begins with thousands of literals.
    std::uint64_t start_matches(bool prev_word, bool next_word) const {
        return start_matches_[prev_word][next_word];
    }
    const Vector<std::pair<std::int32_t, std::int32_t>>& start_literals(bool prev_word, bool next_word) const {
        return start_literals_[prev_word][next_word];
    }
    const Vector<std::int32_t>& start_others(bool prev_word, bool next_word) const {
        return start_others_[prev_word][next_word];
    }

private:
    Program program_;
    Alphabet alphabet_;
    std::uint64_t start_matches_[2][2] = {};
    Vector<std::pair<std::int32_t, std::int32_t>> start_literals_[2][2];
    Vector<std::int32_t> start_others_[2][2];
};

// How far a scan has got. Made fresh for each text; the matcher fills it in.
struct Scan {
    std::size_t pos = 0;      // characters consumed
    std::uint64_t found = 0;  // bit i: pattern i has matched
    bool done = false;        // the text is finished, or a stopping pattern matched

private:
    friend class Matcher;
    std::uint64_t generation = 0;  // of the tables `state` belongs to
    std::int32_t state = 0;
    bool simulating = false;
    bool prev_word = false;
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
        bool prev_word;
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

    template <class Char, bool Lower>
    void run(const Char* p, std::size_t n, Scan& scan, std::uint64_t stop, std::size_t work);
    template <class Char, bool Lower>
    void run_hashed(const Char* p, std::size_t n, Scan& scan, std::uint64_t stop, std::size_t work);
    template <class Char, bool Lower>
    void simulate(const Char* p, std::size_t n, Scan& scan, std::uint64_t stop, std::size_t work);
    // Ends a scan at character `i` in `state` (at the end of the text: with
    // the patterns that match there).
    void finish(Scan& scan, std::size_t i, std::int32_t state, std::uint64_t found, std::uint64_t stop,
                std::size_t n);
    // Continues `scan` without tables from the positions in `next_set_`.
    template <class Char, bool Lower>
    void continue_simulating(const Char* p, std::size_t n, Scan& scan, std::size_t i, std::uint64_t found,
                             bool word, std::uint64_t stop, std::size_t work);

    int class_of(char32_t c, const int* ascii) const {
        return c < 128 ? ascii[c] : automaton_->alphabet().of_wide(c);
    }
    // One step of the automaton from `set` on a character of `cls`: the next
    // positions land in `next_set_`; returns the patterns that matched
    // before the character. Adds its cost to `spent`.
    std::uint64_t step(const std::int32_t* set, std::size_t size, bool prev_word, int cls, std::size_t& spent);
    std::uint64_t final_mask(const std::int32_t* set, std::size_t size, bool prev_word);
    std::size_t close(const std::int32_t* set, std::size_t size, bool prev_word, bool next_word);

    // The move from `state` on `cls`, computed, and recorded where there is room.
    Move compute(std::int32_t state, int cls, std::size_t& spent);
    bool record(std::int32_t state, int cls, std::int32_t target, std::uint64_t emitted);
    const Edge* find_edge(std::int32_t state, int cls) const;
    std::int32_t find_or_add(const Vector<std::int32_t>& set, bool prev_word);
    std::int32_t find(const std::int32_t* set, std::size_t size, bool prev_word, std::uint32_t hash) const;
    void drop_tables() noexcept;
    void ensure_start();
    void ensure_scratch();
    bool thrashing() const;
    // Enters simulation from the state in `scan.set` (the caller has put it there).
    void start_simulating(Scan& scan);
    // Stops a scan at character `i` in `state`, to be resumed later.
    void pause(Scan& scan, std::int32_t state, std::size_t i, std::uint64_t found);
    std::int32_t resume(Scan& scan);

    std::shared_ptr<const Automaton> automaton_;
    const int columns_;  // 0: transitions in `edges_`
    std::atomic<bool> busy_{false};  // a thread ended at exit may clear it without the GIL

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
};

}  // namespace halvec::engine
