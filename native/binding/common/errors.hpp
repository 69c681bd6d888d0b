// The one place where C++ exceptions become Python exceptions. The module's
// code reports Python errors by return value; only the standard library can
// throw (std::bad_alloc when memory runs out), and nothing may unwind into
// the interpreter.
//
// One unwinding is not an exception and must go on: pthread_exit(), with
// which CPython 3.12 and 3.13 end a daemon thread that wakes during
// finalisation. Catching it without rethrowing aborts the process, and so
// does a noexcept frame in its way, so nothing here is noexcept.
#pragma once

#include <type_traits>

#include "common/refs.hpp"

namespace halvec::binding {

// Runs `body(context)`. A C++ exception it lets out becomes a Python
// exception (MemoryError for std::bad_alloc, else SystemError) and the
// result is nullptr. The thread exit's unwinding goes on through it.
PyObject* run_guarded(PyObject* (*body)(void*), void* context);

// `body()` through run_guarded: the new reference it returns, or nullptr
// with an exception set.
template <class Body>
PyObject* without_cxx_exceptions(Body&& body) {
    using B = std::remove_reference_t<Body>;
    return run_guarded([](void* b) -> PyObject* { return (*static_cast<B*>(b))(); }, &body);
}

}  // namespace halvec::binding
