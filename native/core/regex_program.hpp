// A Thompson automaton for the union of up to 64 parsed patterns. Each
// pattern ends in its own Match instruction, so one pass over a text can
// tell which of them match somewhere in it.
#pragma once

#include <cstdint>
#include <vector>

#include "core/regex_syntax.hpp"

namespace halvec::core::regex {

inline constexpr std::size_t kMaxPatterns = 64;

struct Inst {
    enum class Op : std::uint8_t {
        Literal,          // consumes `ch`
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
    int out = -1;
    int out1 = -1;
    int pattern = 0;
};

class Program {
public:
    // Compiles each tree as pattern number i; false when the program would
    // grow past its bound.
    bool build(const std::vector<const Node*>& patterns);

    const std::vector<Inst>& insts() const { return insts_; }
    int start() const { return start_; }
    std::size_t pattern_count() const { return patterns_; }
    // The distinct literal characters, sorted: each gets a character class.
    const std::vector<char32_t>& literals() const { return literals_; }

private:
    int emit(Inst inst);
    // Compiles `node` to continue at `next` when it has matched; returns its
    // entry, or -1 past the size bound.
    int compile(const Node& node, int next);

    std::vector<Inst> insts_;
    std::vector<char32_t> literals_;
    int start_ = -1;
    std::size_t patterns_ = 0;
};

}  // namespace halvec::core::regex
