// The fixed part of a search: program and alphabet, shared by every matcher
// that runs it, and what the start of the program reaches on empty moves in
// each context (an unanchored search starts the program again at every
// position).
#pragma once

#include <cstdint>

#include "engine/alphabet.hpp"

namespace halvec::engine {

class Automaton {
public:
    // May throw std::bad_alloc.
    Automaton(Program program, const Predicates& predicates);

    const Program& program() const { return program_; }
    const Alphabet& alphabet() const { return alphabet_; }
    bool reverse() const { return program_.reverse(); }
    // The context bits the program's assertions look at.
    std::uint8_t mask() const { return mask_; }

    // The side of a position a scan has read (`behind`) and the one it is
    // about to read (`ahead`), as the assertions see them: left and right.
    std::uint8_t left(std::uint8_t behind, std::uint8_t ahead) const { return reverse() ? ahead : behind; }
    std::uint8_t right(std::uint8_t behind, std::uint8_t ahead) const { return reverse() ? behind : ahead; }

    // What the start reaches between two sides: the patterns that match
    // there, and the consuming positions. Literals are kept by the class
    // they consume (as class, position pairs, sorted), so that a step finds
    // those that take its character without looking at the others: an
    // alternation of thousands of words begins with thousands of literals.
    struct StartClosure {
        std::uint64_t matches = 0;
        Vector<std::pair<std::int32_t, std::int32_t>> literals;
        Vector<std::int32_t> others;
    };
    // Kept for the next time while the engine's budget allows, else built
    // into `scratch`. `behind` and `ahead` are masked. May throw
    // std::bad_alloc.
    const StartClosure& start(std::uint8_t behind, std::uint8_t ahead, StartClosure& scratch) const;
    // Literals of the start that take a character of `cls`.
    static std::pair<const std::pair<std::int32_t, std::int32_t>*, const std::pair<std::int32_t, std::int32_t>*>
    literals_for(const StartClosure& closure, int cls);

private:
    void build_start(std::uint8_t behind, std::uint8_t ahead, StartClosure& out) const;

    Program program_;
    Alphabet alphabet_;
    std::uint8_t mask_;
    // Built on first use, by the two sides (a few of them occur in practice).
    mutable Vector<std::pair<std::uint16_t, std::shared_ptr<const StartClosure>>> starts_;
};

}  // namespace halvec::engine
