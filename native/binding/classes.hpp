// The classes whose bodies hold the module's own function objects.
#pragma once

#include "common/refs.hpp"

namespace halvec::binding {

bool define_routing_config(Borrowed globals);
bool define_router(Borrowed globals);

}  // namespace halvec::binding
