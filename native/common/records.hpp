// Record classes made the way the module's Python source would make them:
// a plain class body with text annotations and defaults, passed to the
// interpreter's `dataclass`.
#pragma once

#include <functional>
#include <span>

#include "common/refs.hpp"

namespace halvec::py {

struct FieldSpec {
    const char* name;
    const char* annotation;
    // The class-body value of the field, given the module namespace and the
    // caller's `context`; nullptr for a required field.
    Owned (*make_default)(Borrowed globals, Borrowed context);
};

// Builds the class `name` with `doc`, the annotations and defaults of
// `fields` in order, then whatever `extra` adds to the namespace, and applies
// `dataclass` (looked up in `globals`) to it. `context` is passed through to
// the fields' default makers.
Owned make_dataclass(Borrowed globals, const char* name, const char* doc,
                     std::span<const FieldSpec> fields,
                     const std::function<bool(Borrowed ns)>& extra = {}, Borrowed context = {});

}  // namespace halvec::py
