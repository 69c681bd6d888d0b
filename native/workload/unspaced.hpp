// Which descriptions of a batch are written mostly in a script without
// spaces between words, which the classifier's whitespace word count sees as
// a few long words.
#pragma once

#include "common/python.hpp"

namespace halvec::core {

// unspaced(descriptions): the indices, in order, of the strs of the list
// more than half of whose characters, white space aside, lie in the ranges
// of scripts written without spaces: U+0E00-U+0FFF (Thai, Lao, Tibetan),
// U+1000-U+109F (Myanmar), U+1780-U+17FF (Khmer), U+3001-U+30FF (CJK
// punctuation, kana), U+3400-U+4DBF, U+4E00-U+9FFF, U+F900-U+FAFF (CJK
// ideographs), U+FF00-U+FFEF (full-width forms), U+20000-U+3134F. White
// space is what str.isspace() says is. A str whose characters are all below
// U+0100 is passed over without a look. New reference (a list), or nullptr
// with an exception set.
PyObject* unspaced(PyObject* descriptions);

}  // namespace halvec::core
