// The package's private module halvec._quality: the bootstrap kernel of the
// many-model routing measures (halvec.quality.models). It holds no state.
#include "binding/common/errors.hpp"
#include "binding/common/test_hooks.hpp"
#include "binding/quality/resampler_type.hpp"

namespace halvec::binding {
namespace {

bool exec_statements(PyObject* module) {
    const Owned resampler = make_resampler_type(module);
    return resampler && PyModule_AddObjectRef(module, "Resampler", resampler.get()) == 0 &&
           install_test_hooks("halvec._quality_hooks");
}

int exec_quality(PyObject* module) {
    const Owned done = Owned::steal(without_cxx_exceptions([&] {
        return exec_statements(module) ? Py_NewRef(Py_None) : nullptr;
    }));
    return done ? 0 : -1;
}

PyModuleDef_Slot quality_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_quality)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef quality_def = {
    PyModuleDef_HEAD_INIT, "_quality",
    "The bootstrap kernel of the many-model routing measures (halvec.quality.models), for the package.",
    0, nullptr, quality_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace halvec::binding

extern "C" PyMODINIT_FUNC PyInit__quality() { return PyModuleDef_Init(&halvec::binding::quality_def); }
