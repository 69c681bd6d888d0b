#include "binding/toplevel.hpp"

#include "binding/callables.hpp"
#include "binding/classifier_state.hpp"
#include "binding/classes.hpp"
#include "binding/function.hpp"
#include "binding/imports.hpp"
#include "common/python.hpp"
#include "core/catalogue.hpp"
#include "core/classifier.hpp"

namespace halvec::binding {
namespace {

// classify_complexity, with the caches it keeps between calls.
Owned make_classifier(Borrowed globals, Borrowed function_type) {
    Owned state = make_classifier_state();
    if (!state) return {};
    set_module_classifier_state(state.get());
    return make_function(function_type, callables::classify_complexity, globals, state);
}

// logger = logging.getLogger("halvec.model_router")
Owned make_logger(Borrowed globals) {
    Owned logging = py::lookup_global(globals, "logging");
    if (!logging) return {};
    return Owned::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "halvec.model_router"));
}

}  // namespace

// Each statement binds its name before the next one runs, and each looks the
// names it uses up in the namespace at that moment, as module code would.
bool run_toplevel(Borrowed module) {
    Borrowed globals = PyModule_GetDict(module.get());
    // Held by the functions made of it once this step is over.
    const Owned function_type = make_function_type();
    return function_type && import_module(globals, "logging") && import_module(globals, "re") &&
           import_from(globals, "dataclasses", {"dataclass", "field"}) &&
           import_from(globals, "enum", {"Enum"}) && import_from(globals, "typing", {"Any"}) &&
           import_from(globals, "halvec.config", {"SecretsStore"}) &&
           py::set_global(globals, "logger", make_logger(globals)) && core::define_catalogue(globals) &&
           core::define_pattern_lists(globals) &&
           py::set_global(globals, "classify_complexity", make_classifier(globals, function_type)) &&
           define_routing_config(globals, function_type) && define_router(globals, function_type);
}

}  // namespace halvec::binding
