// How long the module object lives. Importing again, also after it was taken
// out of sys.modules, must give the same object, so it must not be collected
// while the program runs; but what its namespace reaches must still be
// finalised at exit (buffered data flushed, files closed). So the module is
// kept alive by a callback registered with `atexit`, which holds it: the
// interpreter calls its exit callbacks, then lets go of them, early in
// finalisation, and the module then goes as any module does.
//
// When it goes after that, its namespace is emptied at once, so that what it
// reaches goes by reference counting, in a known order (the order of the
// names), rather than with the namespace's cycles in one sweep of the
// collector, whose finalisers run in no set order (a buffered file whose raw
// file is closed first loses its data).
#pragma once

#include "common/refs.hpp"

namespace halvec::binding {

// True, or false with an exception set.
bool keep_until_exit(Borrowed module);

// Called as the module goes: empties its namespace if the exit callbacks
// have run (else it is left to go as any namespace does). Runs whatever
// finalisers that sets off; an exception being raised is kept.
void on_module_freed(Borrowed module);

}  // namespace halvec::binding
