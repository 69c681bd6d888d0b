#include "binding/router/classes.hpp"

#include "binding/common/function.hpp"
#include "binding/router/callables.hpp"
#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "common/records.hpp"
#include "router/preferences.hpp"
#include "router/router.hpp"

namespace halvec::binding {
namespace {

// field(default_factory=lambda: [...]), the lambda of `function_type`.
Owned enabled_models_default(const py::Scope& scope, Borrowed function_type) {
    Owned field = py::lookup_global(scope, "field");
    Owned factory = make_function(function_type, callables::enabled_models_factory, scope.globals);
    Owned kwargs = Owned::steal(PyDict_New());
    if (!field || !factory || !kwargs ||
        PyDict_SetItemString(kwargs.get(), "default_factory", factory.get()) < 0) {
        return {};
    }
    return py::call_with_kwargs(field, kwargs);
}

const py::FieldSpec kRoutingConfigFields[] = {
    {"enabled_models", "list[str]", enabled_models_default},
    {"cost_conscious", "bool", [](const py::Scope&, Borrowed) { return Owned::take(Py_False); }},
    {"default_worker_model", "str", [](const py::Scope&, Borrowed) { return py::str("auto"); }},
    {"default_scheduler_model", "str", [](const py::Scope&, Borrowed) { return py::str("auto"); }},
};

// ns[spec.name] = wrapper(function) or the function itself.
bool put_function(Borrowed function_type, const py::Scope& scope, Borrowed ns, const CallableSpec& spec,
                  const char* wrapper) {
    Owned function = make_function(function_type, spec, scope.globals);
    if (!function) return false;
    if (wrapper) {
        Owned wrap = py::lookup_global(scope, wrapper);
        if (!wrap) return false;
        function = py::call(wrap, function);
        if (!function) return false;
    }
    return PyMapping_SetItemString(ns.get(), spec.name, function.get()) == 0;
}

}  // namespace

bool define_routing_config(const py::Scope& scope, Borrowed function_type) {
    return py::set_global(
        scope, "ModelRoutingConfig",
        py::make_dataclass(scope, "ModelRoutingConfig", core::preferences::kDoc, kRoutingConfigFields,
                           [&](Borrowed ns) {
                               return put_function(function_type, scope, ns, callables::to_dict, nullptr) &&
                                      put_function(function_type, scope, ns, callables::from_dict,
                                                   "classmethod");
                           },
                           function_type));
}

bool define_router(const py::Scope& scope, Borrowed function_type) {
    Owned no_bases = Owned::steal(PyTuple_New(0));
    if (!no_bases) return false;
    return py::set_global(
        scope, "ModelRouter", py::make_class("ModelRouter", no_bases, [&](Borrowed ns) {
            Owned doc = py::str(core::router::kDoc);
            if (!doc || PyObject_SetItem(ns.get(), names::get().dunder_doc, doc.get()) < 0) return false;
            for (std::size_t i = 0; i < std::size(callables::router_methods); ++i) {
                const char* wrapper = i == callables::kRouterConfigGetter ? "property" : nullptr;
                if (!put_function(function_type, scope, ns, callables::router_methods[i], wrapper)) return false;
            }
            return true;
        }));
}

}  // namespace halvec::binding
