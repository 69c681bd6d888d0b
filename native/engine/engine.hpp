// The pattern engine: decides Python `re` searches of the patterns it covers
// in time linear in the text and within a fixed memory budget, with no use
// of the interpreter.
//
// How the pieces fit together:
//   syntax      a pattern text -> a tree, or "unsupported" (the caller then
//               uses `re`); charset and casefold describe its character sets.
//   program     trees -> a Thompson automaton, built for one of three uses:
//               which patterns of a list match (Existence), where a match
//               starts (Reverse), or which match `re` prefers (Priority).
//   alphabet    the classes of characters a program cannot tell apart.
//   automaton   program and alphabet, shared by the matchers that run them;
//               context and closure: the assertions and empty moves.
//   matcher     one scan of a text (list_scan), by a lazy DFA (dfa) that
//               falls back to simulating the automaton (simulation) when its
//               tables stop paying; used for lists and for span starts.
//   spans       the span of one pattern's match: start by a reverse scan,
//               end by a preference-ordered simulation from that start.
//   memory      the allocator every part uses: the budget, and the holders
//               that give memory back under pressure.
#pragma once

#include "engine/memory.hpp"
#include "engine/spans.hpp"
#include "engine/syntax.hpp"
