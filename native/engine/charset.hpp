// Sets of characters as a pattern names them: code point ranges and the
// classes \d \w \s (Unicode, or ASCII under the `a` flag) and their
// negations, possibly negated as a whole ([^...]).
//
// A character's properties are computed once per character class of a
// program (alphabet.hpp) as flag bits; a set's categories are tested
// against them.
#pragma once

#include <cstdint>

#include "engine/memory.hpp"

namespace halvec::engine {

// Properties of one character (or of a virtual one, see kFinalNewline).
enum CharFlag : std::uint8_t {
    kWord = 1,         // str.isalnum() or "_"
    kDigit = 2,        // a decimal digit
    kSpace = 4,        // str.isspace()
    kNewline = 8,      // "\n"
    kAscii = 16,       // below U+0080
    kAsciiSpace = 32,  // one of " \t\n\r\f\v", what \s means under the `a` flag
    // The last character of the text when it is "\n": `$` matches before it.
    kFinalNewline = 64,
};

// The classes a set may hold. Each one has a negation; the `a` flag makes
// \d, \w and \s ASCII-only.
enum Category : std::uint16_t {
    kCatDigit = 1 << 0,
    kCatNotDigit = 1 << 1,
    kCatWord = 1 << 2,
    kCatNotWord = 1 << 3,
    kCatSpace = 1 << 4,
    kCatNotSpace = 1 << 5,
    kCatDigitAscii = 1 << 6,
    kCatNotDigitAscii = 1 << 7,
    kCatWordAscii = 1 << 8,
    kCatNotWordAscii = 1 << 9,
    kCatSpaceAscii = 1 << 10,
    kCatNotSpaceAscii = 1 << 11,
};

// Whether a character with `flags` is in one of `categories`.
inline bool in_categories(std::uint16_t categories, std::uint8_t flags) {
    if (!categories) return false;
    const bool digit = flags & kDigit, word = flags & kWord, space = flags & kSpace;
    const bool ascii = flags & kAscii;
    return ((categories & kCatDigit) && digit) || ((categories & kCatNotDigit) && !digit) ||
           ((categories & kCatWord) && word) || ((categories & kCatNotWord) && !word) ||
           ((categories & kCatSpace) && space) || ((categories & kCatNotSpace) && !space) ||
           ((categories & kCatDigitAscii) && digit && ascii) ||
           ((categories & kCatNotDigitAscii) && !(digit && ascii)) ||
           ((categories & kCatWordAscii) && word && ascii) ||
           ((categories & kCatNotWordAscii) && !(word && ascii)) ||
           ((categories & kCatSpaceAscii) && (flags & kAsciiSpace)) ||
           ((categories & kCatNotSpaceAscii) && !(flags & kAsciiSpace));
}

struct CharRange {
    char32_t first;
    char32_t last;
    bool operator==(const CharRange&) const = default;
};

struct CharSet {
    Vector<CharRange> ranges;  // sorted, disjoint and not adjacent
    std::uint16_t categories = 0;
    bool negated = false;

    // Adds [first, last]; call normalize() when done adding. May throw
    // std::bad_alloc.
    void add(char32_t first, char32_t last);
    void add(char32_t c) { add(c, c); }
    // Sorts and merges the ranges. May throw std::bad_alloc.
    void normalize();
    bool has_range(char32_t c) const;
    // Membership of a character with `flags`.
    bool contains(char32_t c, std::uint8_t flags) const {
        return (has_range(c) || in_categories(categories, flags)) != negated;
    }
    // A set of exactly one character, not negated: a literal.
    bool single(char32_t& c) const {
        if (negated || categories || ranges.size() != 1 || ranges[0].first != ranges[0].last) return false;
        c = ranges[0].first;
        return true;
    }
};

}  // namespace halvec::engine
