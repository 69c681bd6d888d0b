// Worker and scheduler selection: the explicit choice, the configured
// default, then the choice by complexity tier with fallback and last resort.
#pragma once

#include "common/python.hpp"

namespace halvec::core::selection {

PyObject* select_for_worker(const py::Scope& scope, Borrowed self, Borrowed description, Borrowed model_key);
PyObject* select_for_scheduler(const py::Scope& scope, Borrowed self, Borrowed description,
                               Borrowed model_key);
PyObject* select_for_complexity(const py::Scope& scope, Borrowed self, Borrowed complexity);
PyObject* get_fallback(const py::Scope& scope, Borrowed self);

}  // namespace halvec::core::selection
