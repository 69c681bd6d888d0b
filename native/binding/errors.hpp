// The one place where C++ exceptions become Python exceptions. The module's
// code reports Python errors by return value; only the standard library can
// throw (std::bad_alloc when memory runs out), and nothing may unwind into
// the interpreter.
#pragma once

#include <exception>
#include <new>

#include "common/refs.hpp"

namespace halvec::binding {

template <class Result, class Body>
Result without_cxx_exceptions(Result failed, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return failed;
}

}  // namespace halvec::binding
