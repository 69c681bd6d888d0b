// Calls and attribute reads written the way the module's source reads:
// `obj.name`, `obj.method(args...)`, `callable(args...)`.
#pragma once

#include "common/refs.hpp"

namespace halvec::py {

inline Owned getattr(Borrowed obj, PyObject* name) {
    return Owned::steal(PyObject_GetAttr(obj.get(), name));
}

// obj.method(args...): no bound method is made, and the slot in front of the
// arguments lets the callee prepend `self` without copying them.
template <class... Args>
Owned call_method(Borrowed obj, PyObject* name, const Args&... args) {
    PyObject* stack[] = {nullptr, obj.get(), Borrowed(args).get()...};
    return Owned::steal(PyObject_VectorcallMethod(
        name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
Owned call(Borrowed callable, const Args&... args) {
    PyObject* stack[] = {nullptr, Borrowed(args).get()...};
    return Owned::steal(PyObject_Vectorcall(callable.get(), stack + 1,
                                            sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The truth test of `if obj:`; -1 with an exception set on failure.
inline int truth(Borrowed obj) { return PyObject_IsTrue(obj.get()); }

}  // namespace halvec::py
