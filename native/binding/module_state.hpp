// What the module keeps beyond its namespace: the classifier's caches. The
// state is made by the exec step and belongs to the module object: the
// module's traverse slot reports the Python references in it to the
// collector, its clear and free slots release them.
//
// It is not kept in the module object's own state block: the interpreter
// resets that block whenever the create step hands back the existing module
// (as it does on every import after the first).
#pragma once

#include <memory>

#include "core/pattern_state.hpp"

namespace halvec::binding {

// Makes the state for a module whose exec step is running. May throw
// std::bad_alloc.
void make_module_state();
// The module's clear and free slots, and its traverse slot.
void clear_module_state() noexcept;
void free_module_state() noexcept;
int traverse_module_state(visitproc visit, void* arg);

// The classifier's state for one call: the module's own, or, should the
// module object be gone while its functions live on, a fresh one that lasts
// for the call. May throw std::bad_alloc.
std::shared_ptr<core::PatternState> pattern_state();

}  // namespace halvec::binding
