// The span of one pattern's match in a text, as `re.search` reports it: the
// leftmost position where a match starts, and at that start the match `re`
// prefers (the first alternative that leads to a match, greedy or lazy
// repetition as written).
//
// Two passes, each linear in the text:
//   1. The start: a scan of the text from its end with the pattern reversed
//      (a set DFA, matcher.hpp) tracks the last place, reading backwards, at
//      which the reversed pattern matches; that is where the leftmost match
//      starts, since any match starting further left would end there too.
//      When the caller knows where the earliest match ends (e) and matches
//      are at most L characters long, only [e - L, e + L) is read: no match
//      starts before e - L (it would end before e), and any match starting
//      from there on ends by e + L.
//   2. The end: from that start, the pattern's Priority program is run
//      without tables, keeping its threads in order of preference (a Pike
//      VM): when a thread matches, the less preferred ones are dropped, and
//      the match of the most preferred thread that matches last is `re`'s.
//      Where the match can only be short (a short text, or a pattern whose
//      matches are), it is found by walking the program depth first in
//      order of preference instead, each (instruction, position) at most
//      once: the first Match reached is the same one, found in a few steps
//      rather than a step of every thread per character.
// Both passes advance in bounded slices of work, like a scan.
#pragma once

#include "engine/matcher.hpp"

namespace halvec::engine {

// Pass 2: the preferred match from a given start.
class PrioritySearch {
public:
    // `automaton` runs a Priority program (program.hpp). May throw std::bad_alloc.
    explicit PrioritySearch(std::shared_ptr<const Automaton> automaton);

    // Starts at position `from` of `text`. May throw std::bad_alloc.
    void begin(const Text& text, std::size_t from);
    // The whole search from `from` for a match that ends by `to`, depth
    // first; false (nothing done) when its table of visits would be too
    // large. May throw std::bad_alloc.
    bool backtrack(const Text& text, std::size_t from, std::size_t to);
    // Moves on by about `work` units; true when finished.
    bool advance(const Text& text, std::size_t work);
    bool matched() const { return end_ != kNone; }
    std::size_t end() const { return end_; }
    const std::shared_ptr<const Automaton>& automaton() const { return automaton_; }

    // A search under way (which may pause) keeps its scratch to itself;
    // another one makes its own.
    bool busy() const noexcept { return busy_; }
    class Use {
    public:
        explicit Use(PrioritySearch& s) noexcept : s_(s) { s_.busy_ = true; }
        ~Use() { s_.busy_ = false; }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        PrioritySearch& s_;
    };

private:
    static constexpr std::size_t kNone = ~std::size_t{0};

    // The class of the character at `k`, a final "\n" being its own.
    int class_at(const Text& text, std::size_t k) const;
    std::uint8_t side_at(const Text& text, std::size_t pos, bool right) const;
    // Adds what `from` reaches at `pos` to `list`, in order of preference;
    // false when a Match was reached (and recorded), which ends the step.
    bool add(Vector<std::int32_t>& list, std::int32_t from, std::size_t pos, std::uint8_t left,
             std::uint8_t right, std::size_t& spent);

    std::shared_ptr<const Automaton> automaton_;
    Vector<std::int32_t> current_;
    Vector<std::int32_t> next_;
    Vector<std::int32_t> stack_;
    Vector<std::uint32_t> mark_;
    std::uint32_t stamp_ = 0;
    Vector<std::uint64_t> visited_;                         // backtrack: a bit per (instruction, position)
    Vector<std::pair<std::int32_t, std::size_t>> trail_;  // backtrack: what is left to try
    Vector<int> classes_;                                   // backtrack: the classes of the characters read
    std::size_t pos_ = 0;
    std::size_t end_ = kNone;
    bool final_newline_ = false;  // the text ends in "\n" and the program tells it apart
    bool busy_ = false;
};

// Both passes for one pattern.
class SpanSearch {
public:
    // `reverse`: a matcher on the pattern's Reverse program, and
    // `priority`: a search on its Priority program, neither in use by
    // another search.
    SpanSearch(std::shared_ptr<Matcher> reverse, std::shared_ptr<PrioritySearch> priority);

    // Reads only characters [from, to) for the start: no match starts
    // before `from`, and one starting at or after it ends by `to`. Should
    // nothing match there after all, the whole text is read.
    void limit(std::size_t from, std::size_t to) {
        from_ = from;
        to_ = to;
        windowed_ = true;
    }
    // Matches of the pattern are at most `longest` characters long (or
    // kUnbounded).
    void bound(std::size_t longest) { longest_ = longest; }

    // Moves on by about `work` units; true when finished. May throw
    // std::bad_alloc.
    bool advance(const Text& text, std::size_t work);
    bool found() const { return found_; }
    std::size_t start() const { return start_; }
    std::size_t end() const { return end_; }

private:
    std::shared_ptr<Matcher> reverse_;
    Matcher::Use use_;
    std::shared_ptr<PrioritySearch> priority_;
    PrioritySearch::Use priority_use_;
    Scan scan_;
    bool windowed_ = false;
    std::size_t longest_ = kUnbounded;
    std::size_t from_ = 0;
    std::size_t to_ = 0;
    bool started_ = false;
    bool found_ = false;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

}  // namespace halvec::engine
