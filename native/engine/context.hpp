// What the zero-width assertions look at: the two sides of a position in the
// text. Each side is a byte of bits, either the edge of the text or what the
// character there is. A scan knows the side it has just read (kept in its
// DFA state) and the side it is about to read (the next character's class).
#pragma once

#include <cstdint>

#include "engine/charset.hpp"
#include "engine/syntax.hpp"

namespace halvec::engine {

enum ContextBit : std::uint8_t {
    kEdge = 1,           // no character on this side: the start, or the end
    kWordSide = 2,       // a word character (\w)
    kAsciiWordSide = 4,  // an ASCII word character (\w under the `a` flag)
    kNewlineSide = 8,    // "\n"
    kFinalSide = 16,     // the "\n" that ends the text
};

// The side made by a character with `flags`.
inline std::uint8_t side_of(std::uint8_t flags) {
    std::uint8_t side = 0;
    if (flags & kWord) side |= kWordSide;
    if ((flags & kWord) && (flags & kAscii)) side |= kAsciiWordSide;
    if (flags & kNewline) side |= kNewlineSide;
    if (flags & kFinalNewline) side |= kFinalSide;
    return side;
}

// The bits an assertion looks at.
inline std::uint8_t context_bits(AssertKind kind) {
    switch (kind) {
        case AssertKind::StartText:
        case AssertKind::EndText: return kEdge;
        case AssertKind::Dollar: return kEdge | kFinalSide;
        case AssertKind::LineStart:
        case AssertKind::LineEnd: return kEdge | kNewlineSide;
        case AssertKind::WordBoundary:
        case AssertKind::NotWordBoundary: return kWordSide;
        case AssertKind::WordBoundaryAscii:
        case AssertKind::NotWordBoundaryAscii: return kAsciiWordSide;
    }
    return 0;
}

// Whether `kind` holds between a `left` and a `right` side.
inline bool holds(AssertKind kind, std::uint8_t left, std::uint8_t right) {
    switch (kind) {
        case AssertKind::StartText: return left & kEdge;
        case AssertKind::EndText: return right & kEdge;
        case AssertKind::Dollar: return right & (kEdge | kFinalSide);
        case AssertKind::LineStart: return left & (kEdge | kNewlineSide);
        case AssertKind::LineEnd: return right & (kEdge | kNewlineSide);
        case AssertKind::WordBoundary: return ((left ^ right) & kWordSide) != 0;
        case AssertKind::NotWordBoundary: return ((left ^ right) & kWordSide) == 0;
        case AssertKind::WordBoundaryAscii: return ((left ^ right) & kAsciiWordSide) != 0;
        case AssertKind::NotWordBoundaryAscii: return ((left ^ right) & kAsciiWordSide) == 0;
    }
    return false;
}

}  // namespace halvec::engine
