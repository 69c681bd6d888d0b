// The regular-expression subset the native engine decides, parsed into a
// small tree. Anything outside it is reported as unsupported, and the caller
// hands that pattern to Python's `re` instead; the parser never accepts a
// pattern `re` rejects, and never takes one that makes `re` warn.
//
// Supported, with Python's meaning for a str pattern:
//   literal characters and the escapes \a \f \n \r \t \v \xhh \uhhhh
//   \Uhhhhhhhh and octal \0..., a backslash before any other character that
//   is not an ASCII letter or digit; `.`; character sets [...] with ranges,
//   negation, escapes and \d \w \s and their negations; groups (...),
//   (?:...), (?P<name>...) with alternation `|`; comments (?#...); the
//   quantifiers * + ? {n} {n,} {,m} {n,m}, greedy or lazy (a repeat is
//   bounded so the program stays small); the assertions ^ $ \A \Z \b \B;
//   the flags s, m, a, u (and i, where the caller supplies the case rules)
//   at the start of the pattern, or scoped as (?flags-flags:...).
// Not supported: back-references, lookaround, conditionals, atomic groups,
// possessive quantifiers, \N{...}, the verbose flag, and anything `re`
// rejects or warns about.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/casefold.hpp"
#include "engine/charset.hpp"

namespace halvec::engine {

// Longer patterns go to `re`: their trees alone would take megabytes.
inline constexpr std::size_t kMaxPatternLength = std::size_t{1} << 17;

// Zero-width assertions, by what they look at: the characters on either
// side of a position, or the edges of the text.
enum class AssertKind : std::uint8_t {
    StartText,             // \A, and ^ without the m flag
    EndText,               // \Z
    Dollar,                // $ without m: the end, or before a final "\n"
    LineStart,             // ^ with m: the start, or after "\n"
    LineEnd,               // $ with m: the end, or before "\n"
    WordBoundary,          // \b
    NotWordBoundary,       // \B
    WordBoundaryAscii,     // \b under the `a` flag
    NotWordBoundaryAscii,  // \B under the `a` flag
};

struct Node {
    enum class Kind : std::uint8_t {
        Empty,      // matches the empty string
        Literal,    // `ch`
        String,     // `chars`, in order
        Set,        // one character of `set`
        Any,        // any character but "\n"; with `dotall`, any character
        Assert,     // `assertion`
        Concat,     // `children` in order
        Alternate,  // one of `children`, the first that leads to a match preferred
        Repeat,     // `children[0]` between `min` and `max` times (max < 0: no bound)
    };
    Kind kind = Kind::Empty;
    AssertKind assertion = AssertKind::StartText;
    bool dotall = false;
    bool greedy = true;  // Repeat: as many as possible first (else as few)
    char32_t ch = 0;
    int min = 0;
    int max = 0;
    Vector<Node> children;
    Vector<char32_t> chars;  // a String's characters
    CharSet set;             // a Set's characters
};

using Tree = std::shared_ptr<const Node>;

// The tree of `pattern`, or nullptr when it is outside the subset (which
// includes every pattern Python's `re` would reject). Case-insensitive parts
// need `folding`; without it they are unsupported. May throw std::bad_alloc.
Tree parse(std::u32string_view pattern, const CaseFolding* folding = nullptr);

// The most characters a match of `node` can take, or kUnbounded.
inline constexpr std::size_t kUnbounded = ~std::size_t{0};
std::size_t longest_match(const Node& node);

}  // namespace halvec::engine
