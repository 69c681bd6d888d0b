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
    // The class-body value of the field; nullptr for a required field.
    Owned (*make_default)(Borrowed globals);
};

// Builds the class `name` with `doc`, the annotations and defaults of
// `fields` in order, then whatever `extra` adds to the namespace, and applies
// `dataclass` (looked up in `globals`) to it.
Owned make_dataclass(Borrowed globals, const char* name, const char* doc,
                     std::span<const FieldSpec> fields,
                     const std::function<bool(Borrowed ns)>& extra = {});

}  // namespace halvec::py
