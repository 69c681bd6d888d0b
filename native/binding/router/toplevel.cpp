#include "binding/router/toplevel.hpp"

#include "binding/common/function.hpp"
#include "binding/common/imports.hpp"
#include "binding/patterns/classifier_state.hpp"
#include "binding/router/callables.hpp"
#include "binding/router/classes.hpp"
#include "common/identity.hpp"
#include "common/python.hpp"
#include "router/catalogue.hpp"
#include "router/classifier.hpp"

namespace halvec::binding {
namespace {

// classify_complexity, with the caches it keeps between calls.
Owned make_classifier(const py::Scope& scope, Borrowed function_type) {
    Owned state = make_classifier_state();
    if (!state) return {};
    set_module_classifier_state(state.get());
    return make_function(function_type, callables::classify_complexity, scope.globals, state);
}

// logger = logging.getLogger("halvec.model_router")
Owned make_logger(const py::Scope& scope) {
    Owned logging = py::lookup_global(scope, "logging");
    if (!logging) return {};
    return Owned::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "halvec.model_router"));
}

}  // namespace

// Each statement binds its name before the next one runs, and each looks the
// names it uses up in the namespace at that moment, as module code would.
bool run_toplevel(Borrowed module) {
    const Borrowed globals = PyModule_GetDict(module.get());
    // The built-ins the module's own statements see, fixed as they start.
    const Owned builtins = py::builtins_for(globals);
    if (!builtins) return false;
    const py::Scope scope{globals, builtins};
    // Held by the functions made of it once this step is over.
    const Owned function_type = make_function_type(kModelRouter);
    return function_type && import_module(scope, "logging") && import_module(scope, "re") &&
           import_from(scope, "dataclasses", {"dataclass", "field"}) &&
           import_from(scope, "enum", {"Enum"}) && import_from(scope, "typing", {"Any"}) &&
           import_from(scope, "halvec.config", {"SecretsStore"}) &&
           py::set_global(scope, "logger", make_logger(scope)) && core::define_catalogue(scope) &&
           core::define_pattern_lists(scope) &&
           py::set_global(scope, "classify_complexity", make_classifier(scope, function_type)) &&
           define_routing_config(scope, function_type) && define_router(scope, function_type);
}

}  // namespace halvec::binding
