// A Thompson automaton for the union of up to 64 parsed patterns. Each
// pattern ends in its own Match instruction, so one pass over a text can
// tell which of them match somewhere in it.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "engine/syntax.hpp"

namespace halvec::engine {

inline constexpr std::size_t kMaxPatterns = 64;

struct Inst {
    enum class Op : std::uint8_t {
        Literal,          // consumes `ch`
        Set,              // consumes a character of set number `set`
        Any,              // consumes anything but a line feed
        Class,            // consumes a character of `cls`
        Split,            // continues at `out` and `out1`
        WordBoundary,     // continues at `out` at a word boundary
        NotWordBoundary,  // continues at `out` elsewhere
        Match,            // pattern `pattern` has matched
    };
    Op op;
    ClassKind cls = ClassKind::Digit;
    char32_t ch = 0;
    std::int32_t out = -1;
    std::int32_t out1 = -1;
    std::int32_t pattern = 0;  // Match: the pattern; Set: the set
};

class Program {
public:
    // Compiles each tree as pattern number i; false when the program would
    // grow past its bound. May throw std::bad_alloc.
    bool build(const Vector<const Node*>& patterns);

    const Vector<Inst>& insts() const { return insts_; }
    int start() const { return start_; }
    std::size_t pattern_count() const { return patterns_; }
    std::size_t set_count() const { return set_ranges_.size(); }
    // The characters of set `i`, sorted and distinct.
    std::u32string_view set(std::size_t i) const {
        const auto [first, size] = set_ranges_[i];
        return {set_chars_.data() + first, size};
    }
    bool in_set(std::size_t i, char32_t c) const;

private:
    int emit(Inst inst);
    // Compiles `node` to continue at `next` when it has matched; returns its
    // entry, or -1 past the size bound.
    int compile(const Node& node, int next);
    int set_number(const Node& node);

    Vector<Inst> insts_;
    Vector<char32_t> set_chars_;
    Vector<std::pair<std::size_t, std::size_t>> set_ranges_;
    using SetNumbers = std::unordered_map<const Node*, int, std::hash<const Node*>, std::equal_to<>,
                                          Allocator<std::pair<const Node* const, int>>>;
    SetNumbers set_nodes_;  // while building: the number of each set node
    int start_ = -1;
    std::size_t patterns_ = 0;
    std::size_t steps_ = 0;  // nodes visited while building
};

}  // namespace halvec::engine
