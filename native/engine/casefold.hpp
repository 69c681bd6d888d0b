// Case-insensitive matching as Python's `re` does it (the `i` flag): which
// characters a literal or a set matches once case is ignored. The rules come
// from the running interpreter (its Unicode tables and `re`'s own list of
// extra equivalences), so they are supplied by the caller.
#pragma once

#include "engine/charset.hpp"

namespace halvec::engine {

class CaseFolding {
public:
    virtual ~CaseFolding() = default;
    // The characters that the literal `c` matches, into `out`; false when the
    // rules cannot say exactly, and the pattern goes to `re`. Under the `a`
    // flag (`ascii`) only ASCII letters fold. May throw std::bad_alloc.
    virtual bool literal(char32_t c, bool ascii, CharSet& out) const = 0;
    // The same for a set as written: `items` holds its members in the order
    // written (not normalised), `written_as_range[i]` whether member i was
    // written as a range (`re` folds a character outside the Basic
    // Multilingual Plane differently as one or the other); `out` keeps the
    // negation and the classes.
    virtual bool set(const CharSet& items, const Vector<std::uint8_t>& written_as_range, bool ascii,
                     CharSet& out) const = 0;
};

}  // namespace halvec::engine
