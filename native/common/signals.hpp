// The one way long loops let signal handlers run. A handler may run any
// Python code: edit or rebind the list a loop is reading, drop what a
// borrowed pointer points to. So after a check a loop holds strong
// references only, and reads a list's length again before it indexes it.
//
// Test builds can make a chosen check find a signal pending, so that a test
// runs its handler at an exact point of a loop.
#pragma once

#include "common/refs.hpp"

namespace halvec {

// PyErr_CheckSignals: 0, or -1 with the handler's exception set.
#ifndef HALVEC_TEST_HOOKS
inline int check_signals() { return PyErr_CheckSignals(); }
#else
int check_signals();

namespace signal_hooks {
// The nth check from now (1: the next one) finds `signum` pending, as if it
// had just arrived; 0 disarms.
void signal_at_check(unsigned long long nth, int signum) noexcept;
// Checks made so far.
unsigned long long checks() noexcept;
}  // namespace signal_hooks
#endif

}  // namespace halvec
