// Record classes made the way the module's Python source would make them:
// a plain class body with text annotations and defaults, passed to the
// interpreter's `dataclass`.
#pragma once

#include <span>

#include "common/python.hpp"

namespace halvec::py {

struct FieldSpec {
    const char* name;
    const char* annotation;
    // The class-body value of the field, given the module namespace and the
    // caller's `context`; nullptr for a required field.
    Owned (*make_default)(const py::Scope& scope, Borrowed context);
};

// Builds the class `name` with `doc`, the annotations and defaults of
// `fields` in order, then whatever `extra` adds to the namespace, and applies
// `dataclass` (looked up in `scope`) to it. `context` is passed through to
// the fields' default makers.
Owned make_dataclass(const py::Scope& scope, const char* name, const char* doc,
                     std::span<const FieldSpec> fields,
                     FunctionRef<bool(Borrowed ns)> extra = {}, Borrowed context = {});

}  // namespace halvec::py
