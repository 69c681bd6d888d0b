#include "common/signals.hpp"

#ifdef HALVEC_TEST_HOOKS

#include <atomic>

namespace halvec {
namespace {
std::atomic<unsigned long long> made{0};
std::atomic<unsigned long long> countdown{0};
std::atomic<int> pending_signal{0};
}  // namespace

namespace signal_hooks {
void signal_at_check(unsigned long long nth, int signum) noexcept {
    pending_signal.store(signum);
    countdown.store(nth);
}
unsigned long long checks() noexcept { return made.load(); }
}  // namespace signal_hooks

int check_signals() {
    made.fetch_add(1);
    unsigned long long left = countdown.load();
    while (left != 0 && !countdown.compare_exchange_weak(left, left - 1)) {
    }
    // Only the interpreter's main thread runs handlers; the signal waits there as a real one would.
    if (left == 1) PyErr_SetInterruptEx(pending_signal.load());
    return PyErr_CheckSignals();
}

}  // namespace halvec

#endif
