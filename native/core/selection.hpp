// Worker and scheduler selection: the explicit choice, the configured
// default, then the choice by complexity tier with fallback and last resort.
#pragma once

#include "common/refs.hpp"

namespace halvec::core::selection {

PyObject* select_for_worker(Borrowed globals, Borrowed self, Borrowed description, Borrowed model_key);
PyObject* select_for_scheduler(Borrowed globals, Borrowed self, Borrowed description,
                               Borrowed model_key);
PyObject* select_for_complexity(Borrowed globals, Borrowed self, Borrowed complexity);
PyObject* get_fallback(Borrowed globals, Borrowed self);

}  // namespace halvec::core::selection
