#include "binding/module_state.hpp"

namespace halvec::binding {
namespace {

// Owned by the module object of the process (see module.cpp); null before
// its exec step and after its free slot. Held through a pointer so that
// nothing of it is destroyed at process exit, after the interpreter is gone.
std::shared_ptr<core::PatternState>* state = nullptr;

}  // namespace

void make_module_state() {
    auto made = std::make_unique<std::shared_ptr<core::PatternState>>(engine::make_shared<core::PatternState>());
    free_module_state();
    state = made.release();
}

void clear_module_state() noexcept {
    if (!state || !*state) return;
    // Held here while the references go: their finalisers may run anything,
    // the module's free slot included.
    std::shared_ptr<core::PatternState> held = *state;
    held->clear();
}

void free_module_state() noexcept {
    std::unique_ptr<std::shared_ptr<core::PatternState>> held(std::exchange(state, nullptr));
    if (held && *held) (*held)->clear();
}

int traverse_module_state(visitproc visit, void* arg) {
    return state && *state ? (*state)->traverse(visit, arg) : 0;
}

std::shared_ptr<core::PatternState> pattern_state() {
    if (state && *state) return *state;
    return engine::make_shared<core::PatternState>();
}

}  // namespace halvec::binding
