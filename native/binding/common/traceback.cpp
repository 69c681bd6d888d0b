#include "binding/common/traceback.hpp"

#include <frameobject.h>

#include "common/identity.hpp"

namespace halvec::binding {

Owned traceback_code(const ModuleIdentity& module, const char* funcname) {
    return Owned::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(module.source_file, funcname, 1)));
}

void add_traceback_entry(Borrowed code, Borrowed globals) {
    PyObject* exc = PyErr_GetRaisedException();
    Owned frame;
    if (code && globals) {
        frame = Owned::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
    }
    // Making the frame can only fail for want of memory; the original
    // exception matters more than that one.
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace halvec::binding
