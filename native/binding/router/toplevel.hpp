// The module's top-level statements, run once by the exec step.
#pragma once

#include "common/refs.hpp"

namespace halvec::binding {

bool run_toplevel(Borrowed module);

}  // namespace halvec::binding
