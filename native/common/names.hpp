// Interned strings used on every call: attribute names, global names and
// keyword names. They are created once, at the first exec step, and live for
// the whole process (the module can only ever live in one interpreter).
#pragma once

#include "common/refs.hpp"

namespace halvec::names {

#define HALVEC_NAMES(X)                                   \
    X(lower, "lower")                                     \
    X(search, "search")                                   \
    X(re, "re")                                           \
    X(add_note, "add_note")                               \
    X(replace, "replace")                                 \
    X(complexity, "Complexity")                           \
    X(simple, "SIMPLE")                                   \
    X(moderate, "MODERATE")                               \
    X(complex, "COMPLEX")                                 \
    X(complex_patterns, "_COMPLEX_PATTERNS")              \
    X(simple_patterns, "_SIMPLE_PATTERNS")                \
    X(dunder_module, "__module__")                        \
    X(dunder_qualname, "__qualname__")                    \
    X(dunder_doc, "__doc__")                              \
    X(dunder_annotations, "__annotations__")              \
    X(ret, "return")

struct Table {
#define HALVEC_NAME_FIELD(field, text) PyObject* field;
    HALVEC_NAMES(HALVEC_NAME_FIELD)
#undef HALVEC_NAME_FIELD
};

// Fills the table on first use; false with an exception set on failure.
bool init();
const Table& get() noexcept;

}  // namespace halvec::names
