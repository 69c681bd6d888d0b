#include "binding/router/lifetime.hpp"

#include "common/calls.hpp"

namespace halvec::binding {
namespace {

PyObject* hold_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyMethodDef hold_module_def = {"_hold_model_router", hold_module, METH_NOARGS,
                               "Keeps halvec.core.model_router alive until the interpreter exits."};

}  // namespace

bool keep_until_exit(Borrowed module) {
    // The function's `self` is the module: a strong reference, held by
    // whoever holds the function, here the exit registry alone.
    const Owned callback = Owned::steal(PyCFunction_New(&hold_module_def, module.get()));
    if (!callback) return false;
    const Owned atexit = Owned::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    const Owned register_ = Owned::steal(PyObject_GetAttrString(atexit.get(), "register"));
    if (!register_) return false;
    return static_cast<bool>(py::call(register_, callback));
}

}  // namespace halvec::binding
