// Test builds only: a module `halvec.core._model_router_hooks`, entered into
// sys.modules by the exec step, through which the tests make the pattern
// engine's allocations fail, lower its memory budget, read its memory
// figures and empty the classifier's caches. Other builds have none of it.
#pragma once

namespace halvec::binding {

// True, or false with an exception set.
bool install_test_hooks();

}  // namespace halvec::binding
