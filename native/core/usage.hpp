// Usage counters and the model listing.
#pragma once

#include "common/refs.hpp"

namespace halvec::core::usage {

// `tokens` is an exact int (the binder has converted it).
PyObject* record_usage(Borrowed self, Borrowed model_key, Borrowed tokens);
PyObject* get_usage_stats(Borrowed self);
PyObject* get_available_models(Borrowed globals, Borrowed self);

}  // namespace halvec::core::usage
