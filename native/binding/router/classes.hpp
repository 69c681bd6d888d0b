// The classes whose bodies hold the module's own function objects.
#pragma once

#include "common/python.hpp"

namespace halvec::binding {

// Each defines its class in `scope.globals`, its functions of `function_type`.
bool define_routing_config(const py::Scope& scope, Borrowed function_type);
bool define_router(const py::Scope& scope, Borrowed function_type);

}  // namespace halvec::binding
