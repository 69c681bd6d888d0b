#include "common/calls.hpp"

namespace halvec::py {

void note_attribute_error(Borrowed obj, PyObject* name) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
    PyObject* exc = PyErr_GetRaisedException();
    auto* error = reinterpret_cast<PyAttributeErrorObject*>(exc);
    if (PyErr_GivenExceptionMatches(exc, PyExc_AttributeError) && !error->name && !error->obj) {
        // As the interpreter does: a failure here replaces the AttributeError.
        if (PyObject_SetAttrString(exc, "name", name) < 0 ||
            PyObject_SetAttrString(exc, "obj", obj.get()) < 0) {
            Py_DECREF(exc);
            return;
        }
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace halvec::py
