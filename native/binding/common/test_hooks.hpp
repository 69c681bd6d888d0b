// Test builds only: a module entered into sys.modules by each extension
// module's exec step (`halvec.core._model_router_hooks`,
// `halvec._patterns_hooks`, `halvec._fitted_hooks`, `halvec._workload_hooks`),
// through which the tests make a chosen signal check find a signal pending
// and count the checks; and, where the module holds them, make the engine's
// allocations fail, lower its memory budget, read its memory figures, and
// empty the module classifier's caches. Each extension module has its own
// copy of what the hooks reach, so each has hooks of its own. Other builds
// have none of it: the groups are empty and nothing is installed.
#pragma once

#include <initializer_list>

#include "common/refs.hpp"

namespace halvec::binding {

// The engine allocator's hooks (memory_hooks.cpp), for the modules that
// allocate through it: fail_allocation, allocations, memory_in_use, budget,
// set_budget.
extern PyMethodDef engine_memory_hooks[];

// The module `name`, with the signal hooks and the functions of each group
// of `groups`: true, or false with an exception set.
bool install_test_hooks(const char* name, std::initializer_list<PyMethodDef*> groups = {});

}  // namespace halvec::binding
