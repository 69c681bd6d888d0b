// The characters of a text, sorted into classes that a program cannot tell
// apart: two characters fall into one class when every instruction accepts
// both or neither. A class is what the DFA moves on, so the number of
// classes, not the number of characters, sizes its tables.
//
// Characters a program names (literals, members of sets) get classes by
// which of those instructions accept them; every other character falls into
// one of sixteen categories by its properties (word, digit, whitespace, line
// feed). A set of twenty thousand characters that appear nowhere else is one
// class, however large.
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
    enum Flag : std::uint8_t { kWord = 1, kDigit = 2, kSpace = 4, kNewline = 8 };
    static constexpr int kCategories = 16;

    // May throw std::bad_alloc.
    Alphabet(const Program& program, const Predicates& predicates);

    int count() const { return static_cast<int>(flags_.size()); }
    std::uint8_t flags(int cls) const { return flags_[static_cast<std::size_t>(cls)]; }
    bool word(int cls) const { return flags(cls) & kWord; }

    // Classes of the ASCII characters, as they are or lower-cased.
    const int* ascii(bool lowered) const { return lowered ? lowered_ascii_ : ascii_; }
    int of_wide(char32_t c) const;

    // Does instruction `index` of the program consume characters of `cls`?
    bool accepts(const Program& program, std::size_t index, int cls) const;
    // The class a Literal instruction consumes.
    int literal_class(std::size_t index) const { return literal_class_[index]; }

private:
    struct Range {
        char32_t first, last;
        int cls;
    };

    std::uint8_t flags_of(char32_t c) const;
    bool named(int cls) const { return cls < categories_ || cls >= categories_ + kCategories; }

    Predicates predicates_;
    int categories_ = 0;  // the first category's class; named classes lie around them
    int ascii_[128];
    int lowered_ascii_[128];
    Vector<Range> ranges_;              // named characters past ASCII, sorted
    Vector<std::uint8_t> flags_;        // per class
    Vector<char32_t> representative_;   // per named class: one of its characters
    Vector<std::int32_t> literal_class_;  // per instruction: a Literal's class
};

}  // namespace halvec::engine
