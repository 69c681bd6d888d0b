// The module's function type: what every callable of the module is.
//
// It looks to introspection like a Python function (name, qualified name,
// module, docstring, defaults, annotations and a code object with the
// parameter names, so inspect.signature reports the real signature), binds as
// a method when read from an instance, and is called through vectorcall with
// the module's own argument conventions.
#pragma once

#include "binding/signature.hpp"

namespace halvec::binding {

bool ready_function_type();

// A new function object for `spec` whose globals are the module namespace;
// `state` (if any) is what its implementation keeps between calls.
Owned make_function(const CallableSpec& spec, Borrowed globals, Borrowed state = {});

}  // namespace halvec::binding
