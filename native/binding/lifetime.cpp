#include "binding/lifetime.hpp"

#include "common/calls.hpp"

namespace halvec::binding {
namespace {

// Set when the interpreter calls the exit callbacks (not a Python object).
bool exiting = false;

PyObject* hold_module(PyObject*, PyObject*) {
    exiting = true;
    Py_RETURN_NONE;
}

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

void on_module_freed(Borrowed module) {
    if (!exiting) return;
    PyObject* raised = PyErr_GetRaisedException();
    // Emptied in one step, with no key compared (a key's own __eq__ does
    // not run), the entries then let go in the order of the names.
    if (PyObject* dict = PyModule_GetDict(module.get())) {
        const Owned held = Owned::take(dict);
        PyDict_Clear(dict);
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace halvec::binding
