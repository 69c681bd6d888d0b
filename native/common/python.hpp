// Small helpers over the C API for what a module's own Python code would do:
// look a global name up, bind one, make a class through its metaclass.
#pragma once

#include "common/function_ref.hpp"
#include "common/refs.hpp"

namespace halvec::py {

Owned str(const char* utf8);

// The namespaces a function's global names are found in: its module's, then
// the built-ins it was made with. A Python function keeps the built-ins of
// its creation, whatever `__builtins__` holds later.
struct Scope {
    Borrowed globals;
    Borrowed builtins;
};

// The built-ins a function made now with `globals` keeps, as the interpreter
// takes them: the namespace's `__builtins__` (a module's dict, or any
// mapping), else the running code's.
Owned builtins_for(Borrowed globals);

// A global name as a function's code finds it: the module namespace first,
// then the built-ins; NameError when neither has it.
Owned lookup_global(const Scope& scope, Borrowed name);
Owned lookup_global(const Scope& scope, const char* name);

// Binds `value` (which may be null after a failed call) under `name`.
bool set_global(const Scope& scope, const char* name, Owned value);

// `for first, second in ...`: unpacks one entry of an iteration.
bool unpack_pair(Borrowed entry, Owned& first, Owned& second);

// Calls `callable(**kwargs)` where kwargs is an exact dict.
Owned call_with_kwargs(Borrowed callable, Borrowed kwargs);

// What a class statement does: the metaclass that the bases call for prepares
// the namespace, `fill` populates it after __module__ and __qualname__, and the
// metaclass makes the class. The namespace may be a mapping of the metaclass's
// own (an enumeration's), so `fill` must store into it with PyObject_SetItem.
Owned make_class(const char* name, Borrowed bases, FunctionRef<bool(Borrowed ns)> fill);

// PyType_FromSpec(spec), or empty with an exception set: CPython 3.12 can
// fail without one when its copy of the type's name cannot be allocated.
Owned type_from_spec(PyType_Spec& spec);

}  // namespace halvec::py
