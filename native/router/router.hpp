// The router's state, model lookup, availability test and client string.
// Every step that goes through the instance or a module-level name does so
// at the time of the call, so subclasses, instance attributes and rebound
// globals take effect.
#pragma once

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"

namespace halvec::core::router {

extern const char* const kDoc;

PyObject* init(const py::Scope& scope, Borrowed self, Borrowed config, Borrowed secrets);
// The two smallest calls, here so that the binding's table inlines them.
inline PyObject* config(Borrowed self) { return py::getattr(self, names::get().priv_config).release(); }

inline PyObject* update_config(Borrowed self, Borrowed config) {
    if (py::setattr(self, names::get().priv_config, config) < 0) return nullptr;
    Py_RETURN_NONE;
}
PyObject* get_model(const py::Scope& scope, Borrowed self, Borrowed model_key);
PyObject* is_available(const py::Scope& scope, Borrowed self, Borrowed spec);
PyObject* litellm_model_string(Borrowed spec);

// `key in mapping` and `mapping[key]` for the catalogue, looked up by name.
int catalogue_contains(const py::Scope& scope, Borrowed key);
Owned catalogue_item(const py::Scope& scope, Borrowed key);
// `key in self._config.enabled_models`
int is_enabled(Borrowed self, Borrowed key);

}  // namespace halvec::core::router
