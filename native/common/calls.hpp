// Calls and attribute reads written the way the module's source reads:
// `obj.name`, `obj.method(args...)`, `callable(args...)`.
#pragma once

#include "common/refs.hpp"

namespace halvec::py {

// Gives a failed read the name and object PyObject_GetAttr gives it (they
// feed the "Did you mean" hint of the traceback).
[[gnu::cold]] void note_attribute_error(Borrowed obj, PyObject* name);

// obj.name, through the type's own slot: what PyObject_GetAttr does for a
// str name, without its checks and its call.
inline Owned getattr(Borrowed obj, PyObject* name) {
    const getattrofunc get = Py_TYPE(obj.get())->tp_getattro;
    if (!get) [[unlikely]] return Owned::steal(PyObject_GetAttr(obj.get(), name));
    PyObject* value = get(obj.get(), name);
    if (!value) [[unlikely]] note_attribute_error(obj, name);
    return Owned::steal(value);
}

// obj.name = value, through the type's own slot; `name` must be an interned
// str (as the names table's are), which is what PyObject_SetAttr would make it.
inline int setattr(Borrowed obj, PyObject* name, Borrowed value) {
    const setattrofunc set = Py_TYPE(obj.get())->tp_setattro;
    if (!set) [[unlikely]] return PyObject_SetAttr(obj.get(), name, value.get());
    return set(obj.get(), name, value.get());
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
