// The one question the classifier asks of a pattern: does it match anywhere
// in the text? Kept behind this interface so the engine can change without
// touching the rules.
#pragma once

#include "common/refs.hpp"

namespace halvec::core {

// 1 when `pattern` matches somewhere in `text`, 0 when it does not, -1 with
// the exception set when the search fails (an invalid pattern, a pattern that
// is not text). `pattern` is any object taken from a pattern list; `text` is
// an exact str.
int pattern_search(Borrowed globals, Borrowed pattern, Borrowed text);

}  // namespace halvec::core
