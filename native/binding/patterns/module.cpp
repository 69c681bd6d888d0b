// The package's private engine module, halvec._patterns: the same engine as
// halvec.core.model_router, built into a module of its own so that the
// package can ask it more than a tier (which entry matched, and where)
// without adding a name to the router's module. The package's other native
// helpers have modules of their own: halvec._workload, halvec._fitted.
#include "binding/common/errors.hpp"
#include "binding/common/function.hpp"
#include "binding/common/imports.hpp"
#include "binding/common/test_hooks.hpp"
#include "binding/patterns/classifier_state.hpp"
#include "common/identity.hpp"
#include "common/names.hpp"
#include "patterns/explanation.hpp"

namespace halvec::binding {
namespace {

// The module's own state: its function type, kept where no Python code can
// rebind it (a name in the namespace could be bound to any object, which the
// explainers' makers would then lay a function out in).
struct ModuleState {
    PyObject* function_type;
};

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// The function type, or empty with an exception set once the module has been cleared.
Owned function_type_of(PyObject* module) {
    PyObject* type = state_of(module).function_type;
    if (!type) PyErr_SetString(PyExc_RuntimeError, "the module halvec._patterns has been cleared");
    return Owned::take(type);
}

constexpr Param kSearchParams[] = {{"patterns", "Iterable[str | re.Pattern[str]]", Check::None},
                                   {"text", "str", Check::Str}};

const CallableSpec search_spec{
    "search", "search", kSearchParams, {}, "tuple[int, int, int] | None",
    "The first pattern, in order, that matches somewhere in text, and where:\n"
    "(index, start, end) as re.search(pattern, text).span() gives it, or None.",
    [](const Call& c) { return core::first_match(patterns_of(c.state), c.scope, c.args[0], c.args[1]); },
    &kPatterns,
};

constexpr Param kCoversParams[] = {{"pattern", "str", Check::Str}};

const CallableSpec covers_spec{
    "covers", "covers", kCoversParams, {}, "bool",
    "Whether the native engine decides pattern itself (else re searches it).",
    [](const Call& c) { return core::engine_covers(patterns_of(c.state), c.args[0]); },
    &kPatterns,
};

// explain_complexity's state: (classifier caches, (record class, its slots)).
constexpr Default kZero[] = {Default::Zero};
constexpr Param kExplainParams[] = {{"prompt", "str", Check::Str}, {"tool_count", "int", Check::Int}};

const CallableSpec explain_spec{
    "explain_complexity", "explain_complexity", kExplainParams, kZero, "ComplexityExplanation",
    "Why classify_complexity(prompt, tool_count) gives the tier it gives: the rule\n"
    "that decided, the facts it looked at, and for a pattern rule the entry that\n"
    "matched and where, as re.search(entry, normalised text).span() reports it.",
    [](const Call& c) {
        return core::explain_complexity(patterns_of(PyTuple_GET_ITEM(c.state, 0)), c.scope,
                                         PyTuple_GET_ITEM(c.state, 1), c.args[0], c.args[1]);
    },
    &kPatterns,
};

constexpr Param kBatchParams[] = {{"prompts", "list[str]", Check::None}};

const CallableSpec batch_spec{
    "explain_batch", "explain_batch", kBatchParams, {}, "tuple[list[tuple[Complexity, str, str | None, int | None]], list[tuple[int, int] | None]]",
    "explain_complexity(prompt) for each prompt, as two lists: the facts a tally\n"
    "counts, (tier, rule, pattern_list, pattern_index), and the spans.",
    [](const Call& c) { return core::explain_batch(patterns_of(c.state), c.scope, c.args[0]); },
    &kPatterns,
};

// make_batch_explainer(): explain_batch, reading the router module's
// namespace as its classify_complexity reads it, with caches of its own.
PyObject* make_batch_explainer(PyObject* module, PyObject*) {
    return without_cxx_exceptions([&]() -> PyObject* {
        const Owned router = Owned::steal(PyImport_ImportModule("halvec.core.model_router"));
        if (!router) return nullptr;
        const Owned function_type = function_type_of(module);
        if (!function_type) return nullptr;
        const Owned state = make_classifier_state();
        if (!state) return nullptr;
        return make_function(function_type, batch_spec, PyModule_GetDict(router.get()), state).release();
    });
}

// make_explainer(record_type): explain_complexity, reading the router
// module's namespace as its classify_complexity reads it, and answering with
// instances of `record_type`.
PyObject* make_explainer(PyObject* module, PyObject* record_type) {
    return without_cxx_exceptions([&]() -> PyObject* {
        const Owned record = core::record_class(record_type);
        if (!record) return nullptr;
        const Owned router = Owned::steal(PyImport_ImportModule("halvec.core.model_router"));
        if (!router) return nullptr;
        const Owned function_type = function_type_of(module);
        if (!function_type) return nullptr;
        Owned patterns = make_classifier_state();
        if (!patterns) return nullptr;
        const Owned state = Owned::steal(PyTuple_Pack(2, patterns.get(), record.get()));
        if (!state) return nullptr;
        return make_function(function_type, explain_spec, PyModule_GetDict(router.get()), state).release();
    });
}

PyMethodDef module_methods[] = {
    {"make_explainer", make_explainer, METH_O,
     "make_explainer(record_type): explain_complexity, answering with record_type instances."},
    {"make_batch_explainer", make_batch_explainer, METH_NOARGS,
     "make_batch_explainer(): explain_batch, with caches of its own."},
    {nullptr, nullptr, 0, nullptr},
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
    set_module_classifier_state(state.get());  // search's and covers' caches, for the test hooks
    state_of(module).function_type = Owned::take(function_type).release();
    return py::set_global(scope, "search", make_function(function_type, search_spec, globals, state)) &&
           py::set_global(scope, "covers", make_function(function_type, covers_spec, globals, state)) &&
           install_test_hooks("halvec._patterns_hooks", {engine_memory_hooks, classifier_cache_hooks});
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

int traverse_patterns(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module).function_type);
    return 0;
}

int clear_patterns(PyObject* module) {
    Py_CLEAR(state_of(module).function_type);
    return 0;
}

void free_patterns(void* module) { clear_patterns(static_cast<PyObject*>(module)); }

PyModuleDef patterns_def = {
    PyModuleDef_HEAD_INIT, "_patterns", "The pattern engine of halvec.core.model_router, for the package.",
    sizeof(ModuleState), module_methods, patterns_slots, traverse_patterns, clear_patterns, free_patterns,
};

}  // namespace
}  // namespace halvec::binding

extern "C" PyMODINIT_FUNC PyInit__patterns() { return PyModuleDef_Init(&halvec::binding::patterns_def); }
