// Routing preferences: the behaviour behind ModelRoutingConfig's default
// factory and its dictionary form.
#pragma once

#include "common/refs.hpp"

namespace halvec::core::preferences {

extern const char* const kDoc;

// The default of enabled_models: a new list of the four model keys.
PyObject* default_enabled_models();

// {"enabled_models": ..., "cost_conscious": ..., ...} read from `self`.
PyObject* to_dict(Borrowed self);

// cls(**{k: v for k, v in data.items() if k in cls.__dataclass_fields__});
// `data` is an exact dict.
PyObject* from_dict(Borrowed cls, Borrowed data);

}  // namespace halvec::core::preferences
