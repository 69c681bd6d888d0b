// The case rules of the running interpreter's `re` for the `i` flag, for the
// engine (engine/casefold.hpp): a character's simple lower and upper case
// from the interpreter's Unicode tables, and `re`'s own list of further
// equivalences (re._casefix). A literal matches the characters whose lower
// case is its lower case or one of those equivalent to it; a set matches
// the characters whose lower case is the lower case of one of its members,
// or equivalent to one. Under the `a` flag only ASCII letters fold.
//
// The tables are built on first use, once per process, and hold no Python
// objects. Where the rules cannot be read (no re._casefix), or a set's
// classes (\w and the like) would read differently on a character's lower
// case, the pattern is left to `re`.
#pragma once

#include "engine/casefold.hpp"

namespace halvec::core {

const engine::CaseFolding& case_rules();

}  // namespace halvec::core
