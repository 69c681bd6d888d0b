#include "core/pattern_search.hpp"

#include "common/names.hpp"
#include "common/python.hpp"

namespace halvec::core {

// re.search(pattern, text), with `re` looked up in the module namespace at
// each call, as the module's source does.
int pattern_search(Borrowed globals, Borrowed pattern, Borrowed text) {
    const names::Table& n = names::get();
    Owned re = py::lookup_global(globals, n.re);
    if (!re) return -1;
    PyObject* args[] = {re.get(), pattern.get(), text.get()};
    Owned match = Owned::steal(
        PyObject_VectorcallMethod(n.search, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!match) return -1;
    return PyObject_IsTrue(match.get());
}

}  // namespace halvec::core
