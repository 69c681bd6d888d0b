// The table of the module's callables: names, parameters, annotations,
// defaults, docstrings and the implementation behind each.
#pragma once

#include "binding/signature.hpp"

namespace halvec::binding::callables {

extern const CallableSpec classify_complexity;

}  // namespace halvec::binding::callables
