// The package's private engine module, halvec._patterns: the same engine as
// halvec.core.model_router, built into a module of its own so that the
// package can ask it more than a tier (which entry matched, and where)
// without adding a name to the router's module.
#include "binding/classifier_state.hpp"
#include "binding/errors.hpp"
#include "binding/function.hpp"
#include "binding/imports.hpp"
#include "common/identity.hpp"
#include "common/names.hpp"
#include "core/explanation.hpp"

namespace halvec::binding {
namespace {

constexpr Param kSearchParams[] = {{"patterns", "Iterable[str | re.Pattern[str]]", Check::None},
                                   {"text", "str", Check::Str}};

const CallableSpec search_spec{
    "search", "search", kSearchParams, {}, "tuple[int, int, int] | None",
    "The first pattern, in order, that matches somewhere in text, and where:\n"
    "(index, start, end) as re.search(pattern, text).span() gives it, or None.",
    [](const Call& c) { return core::first_match(patterns_of(c.state), c.scope, c.args[0], c.args[1]); },
    &kPatterns,
};

bool exec_statements(PyObject* module) {
    if (!names::init()) return false;
    const Borrowed globals = PyModule_GetDict(module);
    const Owned builtins = py::builtins_for(globals);
    if (!builtins) return false;
    const py::Scope scope{globals, builtins};
    const Owned function_type = make_function_type(kPatterns);
    if (!function_type || !import_module(scope, "re")) return false;
    Owned state = make_classifier_state();
    if (!state) return false;
    return py::set_global(scope, "search", make_function(function_type, search_spec, globals, state));
}

int exec_patterns(PyObject* module) {
    const Owned done = Owned::steal(without_cxx_exceptions([&] {
        return exec_statements(module) ? Py_NewRef(Py_None) : nullptr;
    }));
    return done ? 0 : -1;
}

PyModuleDef_Slot patterns_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_patterns)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef patterns_def = {
    PyModuleDef_HEAD_INIT, "_patterns", "The pattern engine of halvec.core.model_router, for the package.",
    0, nullptr, patterns_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace halvec::binding

extern "C" PyMODINIT_FUNC PyInit__patterns() { return PyModuleDef_Init(&halvec::binding::patterns_def); }
