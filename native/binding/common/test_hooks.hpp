// Test builds only: a module entered into sys.modules by the exec step
// (`halvec.core._model_router_hooks` for the router's module,
// `halvec._patterns_hooks` for the package's engine module, each with its
// own copy of the engine), through which the tests make the pattern engine's
// allocations fail, lower its memory budget, read its memory figures, empty
// the module classifier's caches and make a chosen signal check find a signal
// pending. Other builds have none of it.
#pragma once

namespace halvec::binding {

// True, or false with an exception set.
bool install_test_hooks(const char* name);

}  // namespace halvec::binding
