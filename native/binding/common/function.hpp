// The module's function type: what every callable of the module is.
//
// It looks to introspection like a Python function (name, qualified name,
// module, docstring, defaults, annotations and a code object with the
// parameter names, so inspect.signature reports the real signature), binds as
// a method when read from an instance, and is called through vectorcall with
// the module's own argument conventions.
#pragma once

#include "binding/common/signature.hpp"
#include "common/identity.hpp"

namespace halvec::binding {

// A new function type. The exec step makes one and every function of the
// module is of it; each function holds a reference to its type, so the type
// lives exactly as long as the module's functions, in no static storage.
Owned make_function_type(const ModuleIdentity& module);

// A new function object of `type` (from make_function_type) for `spec`,
// whose globals are the module namespace; `state` (if any) is what its
// implementation keeps between calls.
Owned make_function(Borrowed type, const CallableSpec& spec, Borrowed globals, Borrowed state = {});

}  // namespace halvec::binding
