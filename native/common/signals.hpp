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

// Work between two signal checks, counted over a whole call in units the
// caller chooses: a call over many short items checks as often as one over
// a long one, and one whose items each fall short of a check still makes one.
class SignalPacing {
public:
    explicit SignalPacing(Py_ssize_t between) noexcept : between_(between) {}
    // Work that may be done before the next check is due (at least 1).
    [[nodiscard]] Py_ssize_t room() const noexcept { return between_ - done_; }
    // Records `work` done: 0, or -1 with the handler's exception set when a
    // check fell due and a handler raised.
    [[nodiscard]] int done(Py_ssize_t work) {
        done_ += work;
        if (done_ < between_) return 0;
        done_ = 0;
        return check_signals();
    }

private:
    Py_ssize_t between_;
    Py_ssize_t done_ = 0;
};

}  // namespace halvec
