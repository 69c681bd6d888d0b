// Traceback entries for native code, so that an exception leaving the module
// shows where it left, as it would for a module written in Python.
#pragma once

#include "common/identity.hpp"
#include "common/refs.hpp"

namespace halvec::binding {

// A code object that names `funcname` in the module's source file; it stands
// for native code in the frames of traceback entries.
Owned traceback_code(const ModuleIdentity& module, const char* funcname);

// Adds an entry for `code` to the traceback of the exception being raised.
// The exception is kept whatever happens; if the entry cannot be made, the
// traceback simply lacks it.
void add_traceback_entry(Borrowed code, Borrowed globals);

}  // namespace halvec::binding
