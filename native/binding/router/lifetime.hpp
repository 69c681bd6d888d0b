// How long the module object lives. Importing again, also after it was taken
// out of sys.modules, must give the same object, so it must not be collected
// while the program runs; but what its namespace reaches must still be
// finalised at exit (buffered data flushed, files closed). So the module is
// kept alive by a callback registered with `atexit`, which holds it: the
// interpreter calls its exit callbacks, then lets go of them, early in
// finalisation, and the module then goes as any module does.
#pragma once

#include "common/refs.hpp"

namespace halvec::binding {

// True, or false with an exception set.
bool keep_until_exit(Borrowed module);

}  // namespace halvec::binding
