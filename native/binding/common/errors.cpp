#include "binding/common/errors.hpp"

#include <exception>
#include <new>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace halvec::binding {

// The undefined-behaviour sanitizer flags the catch of the thread exit's
// unwinding (the C++ runtime hands it over as a null object); nothing in
// this function is checked, and what it calls cannot be inlined into it.
[[gnu::no_sanitize("undefined"), gnu::noinline]] PyObject* run_guarded(PyObject* (*body)(void*), void* context) {
    try {
        return body(context);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

}  // namespace halvec::binding
