// The classes whose bodies hold the module's own function objects.
#pragma once

#include "common/refs.hpp"

namespace halvec::binding {

// Each defines its class in `globals`, its functions of `function_type`.
bool define_routing_config(Borrowed globals, Borrowed function_type);
bool define_router(Borrowed globals, Borrowed function_type);

}  // namespace halvec::binding
