// The package's private module halvec._fitted: the native scorers of fitted
// routers (halvec.fitted): Scorer, of a router that scores one model's gain
// over another, and ModelScorer, of a router that predicts each of several
// models' results and chooses among them. Their tables are allocated through
// a copy of the pattern engine's allocator, linked into this module alone, so
// that the routers loaded in a process have a budget of their own, as large
// as the engine's (kMemoryBudget).
#include "binding/common/errors.hpp"
#include "binding/common/test_hooks.hpp"
#include "binding/fitted/model_scorer_type.hpp"
#include "binding/fitted/scorer_type.hpp"
#include "common/names.hpp"

namespace halvec::binding {
namespace {

bool exec_statements(PyObject* module) {
    if (!names::init()) return false;
    const Owned scorer = make_scorer_type(module);
    if (!scorer || PyModule_AddObjectRef(module, "Scorer", scorer.get()) < 0) return false;
    const Owned model_scorer = make_model_scorer_type(module);
    return model_scorer && PyModule_AddObjectRef(module, "ModelScorer", model_scorer.get()) == 0 &&
           install_test_hooks("halvec._fitted_hooks", {engine_memory_hooks});
}

int exec_fitted(PyObject* module) {
    const Owned done = Owned::steal(without_cxx_exceptions([&] {
        return exec_statements(module) ? Py_NewRef(Py_None) : nullptr;
    }));
    return done ? 0 : -1;
}

PyModuleDef_Slot fitted_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_fitted)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef fitted_def = {
    PyModuleDef_HEAD_INIT, "_fitted", "The native scorer of fitted routers (halvec.fitted), for the package.",
    0, nullptr, fitted_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace halvec::binding

extern "C" PyMODINIT_FUNC PyInit__fitted() { return PyModuleDef_Init(&halvec::binding::fitted_def); }
