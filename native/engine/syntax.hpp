// The regular-expression subset the native engine decides, parsed into a
// small tree. Anything outside it is reported as unsupported, and the caller
// hands that pattern to Python's `re` instead.
//
// Supported, with Python's meaning for a text pattern without flags:
//   literal characters; `.` (anything but a line feed); groups `(...)` with
//   alternation `|`; the quantifiers `*`, `+`, `?`, `{n}`, `{n,}`, `{,m}` and
//   `{n,m}` (greedy; a repeat is bounded so the program stays small);
//   `\b` and `\B`; the classes `\d \D \s \S \w \W`; a backslash before ASCII
//   punctuation or a blank, which makes it a literal.
// Not supported: character sets `[...]`, anchors `^ $ \A \Z`, `(?...)`
// groups, lazy or possessive quantifiers, back-references and the other
// escapes.
//
// Only whether a pattern matches somewhere matters to the engine, never
// where or how, so alternatives that are single characters are gathered
// into one set: `(x|y|z)` is searched as one step over the set {x, y, z}.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/memory.hpp"

namespace halvec::engine {

// Longer patterns go to `re`: their trees alone would take megabytes.
inline constexpr std::size_t kMaxPatternLength = std::size_t{1} << 17;

enum class ClassKind : std::uint8_t { Digit, NotDigit, Space, NotSpace, Word, NotWord };

struct Node {
    enum class Kind : std::uint8_t {
        Empty,           // matches the empty string
        Literal,         // `ch`
        String,          // `chars`, in order
        Set,             // one of `chars`
        Any,             // `.`
        Class,           // `cls`
        WordBoundary,    // `\b`
        NotWordBoundary, // `\B`
        Concat,          // `children` in order
        Alternate,       // one of `children`
        Repeat,          // `children[0]` between `min` and `max` times (max < 0: no bound)
    };
    Kind kind = Kind::Empty;
    char32_t ch = 0;
    ClassKind cls = ClassKind::Digit;
    int min = 0;
    int max = 0;
    Vector<Node> children;
    Vector<char32_t> chars;  // a String's characters; a Set's, sorted and distinct
};

using Tree = std::shared_ptr<const Node>;

// The tree of `pattern`, or nullptr when it is outside the subset (which
// includes every pattern Python's `re` would reject). May throw
// std::bad_alloc.
Tree parse(std::u32string_view pattern);

}  // namespace halvec::engine
