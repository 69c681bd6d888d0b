// The characters of a text, sorted into classes that a program cannot tell
// apart: two characters fall into one class when every instruction accepts
// both or neither and every assertion sees them alike. A class is what the
// DFA moves on, so the number of classes, not the number of characters,
// sizes its tables.
//
// The code space is cut at the ends of every range the program names (its
// literal characters and the ranges of its sets): each piece carries the set
// of namers that cover it, its signature. A class is a signature together
// with the character properties that sets and assertions test (word, digit,
// whitespace, line feed, ASCII). A range of twenty thousand characters that
// appears nowhere else is a few classes, however large.
#pragma once

#include <cstdint>

#include "engine/program.hpp"

namespace halvec::engine {

// The character properties Python's `re` uses, supplied by the caller so the
// engine follows the running interpreter's Unicode tables.
struct Predicates {
    bool (*is_word)(char32_t);   // str.isalnum() or "_"
    bool (*is_digit)(char32_t);  // a decimal digit
    bool (*is_space)(char32_t);  // str.isspace()
};

class Alphabet {
public:
    // May throw std::bad_alloc.
    Alphabet(const Program& program, const Predicates& predicates);

    int count() const { return static_cast<int>(flags_.size()); }
    std::uint8_t flags(int cls) const { return flags_[static_cast<std::size_t>(cls)]; }
    // The side of a position that a character of `cls` makes (context.hpp).
    std::uint8_t side(int cls) const { return sides_[static_cast<std::size_t>(cls)]; }

    // Classes of the ASCII characters, as they are or lower-cased.
    const int* ascii(bool lowered) const { return lowered ? lowered_ascii_ : ascii_; }
    int of_wide(char32_t c) const;
    int of(char32_t c) const { return c < 128 ? ascii_[c] : of_wide(c); }
    // The class of a "\n" that ends the text, where `$` matches before it;
    // the plain "\n" class when the program has no `$`.
    int final_newline() const { return final_newline_; }

    // Does instruction `index` of the program consume characters of `cls`?
    bool accepts(const Program& program, std::size_t index, int cls) const;
    // The class a Char instruction consumes.
    int literal_class(std::size_t index) const { return literal_class_[index]; }

private:
    struct Piece {
        char32_t first;
        char32_t last;
        std::int32_t signature;
    };
    static constexpr int kCombos = 8;  // word, digit, whitespace: what tells wide characters apart

    std::uint8_t flags_of(char32_t c) const;
    int signature_of(char32_t c) const;
    bool named_by(int cls, std::int32_t namer) const;
    int class_for(int signature, std::uint8_t flags);

    Predicates predicates_;
    Vector<char32_t> chars_;                  // the Char instructions' characters, sorted: namers 0..
    Vector<Piece> pieces_;                    // named pieces of the code space, sorted
    Vector<std::int32_t> signature_start_;    // per signature: its namers in `namers_`
    Vector<std::int32_t> namers_;             // each signature's namers, sorted
    Vector<std::int32_t> combo_class_;        // per signature and combo: the class, or -1
    Vector<std::uint8_t> flags_;              // per class
    Vector<std::uint8_t> sides_;              // per class
    Vector<std::int32_t> class_signature_;    // per class
    Vector<std::int32_t> literal_class_;      // per instruction: a Char's class
    int ascii_[128];
    int lowered_ascii_[128];
    int final_newline_ = 0;
    // Map from (signature, full flags) of ASCII characters to their classes,
    // as a sorted list while building.
    Vector<std::pair<std::uint32_t, std::int32_t>> ascii_keys_;
};

}  // namespace halvec::engine
