#include "core/pattern_search.hpp"

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"

namespace halvec::core {

// re.search(pattern, text), with `re` looked up in the module namespace at
// each call, as the module's source does.
int pattern_search(Borrowed globals, Borrowed pattern, Borrowed text) {
    const names::Table& n = names::get();
    Owned re = py::lookup_global(globals, n.re);
    if (!re) return -1;
    Owned match = py::call_method(re, n.search, pattern, text);
    if (!match) return -1;
    return py::truth(match);
}

}  // namespace halvec::core
