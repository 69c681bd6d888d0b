// The model catalogue: the complexity tiers, the model record and the four
// models the router chooses from.
#pragma once

#include "common/python.hpp"

namespace halvec::core {

// Binds `Complexity`, `ModelSpec` and `AVAILABLE_MODELS` in the module
// namespace, in that order.
bool define_catalogue(const py::Scope& scope);

}  // namespace halvec::core
