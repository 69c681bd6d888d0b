// Usage counters and the model listing.
#pragma once

#include "common/python.hpp"

namespace halvec::core::usage {

// `tokens` is an exact int (the binder has converted it).
PyObject* record_usage(Borrowed self, Borrowed model_key, Borrowed tokens);
PyObject* get_usage_stats(Borrowed self);
PyObject* get_available_models(const py::Scope& scope, Borrowed self);

}  // namespace halvec::core::usage
