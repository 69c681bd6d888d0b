#include "binding/classifier_state.hpp"

#include <utility>

namespace halvec::binding {
namespace {

struct StateObject {
    PyObject_HEAD
    core::PatternState* patterns;
};

StateObject* as_state(PyObject* o) { return reinterpret_cast<StateObject*>(o); }

// Set by the exec step, cleared when that object goes.
PyObject* module_state = nullptr;

int state_traverse(PyObject* self, visitproc visit, void* arg) {
    core::PatternState* patterns = as_state(self)->patterns;
    return patterns ? patterns->traverse(visit, arg) : 0;
}

int state_clear(PyObject* self) {
    if (core::PatternState* patterns = as_state(self)->patterns) patterns->clear();
    return 0;
}

void state_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (module_state == self) module_state = nullptr;
    // Emptied first (its references' finalisers may run anything), then freed.
    state_clear(self);
    delete std::exchange(as_state(self)->patterns, nullptr);
    PyObject_GC_Del(self);
}

PyTypeObject state_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "halvec.core.model_router.classifier_state";
    t.tp_basicsize = sizeof(StateObject);
    t.tp_dealloc = state_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = state_traverse;
    t.tp_clear = state_clear;
    return t;
}();

}  // namespace

bool ready_classifier_state_type() { return PyType_Ready(&state_type) == 0; }

Owned make_classifier_state() {
    auto patterns = std::make_unique<core::PatternState>();
    StateObject* made = PyObject_GC_New(StateObject, &state_type);
    if (!made) return {};
    made->patterns = patterns.release();
    PyObject_GC_Track(made);
    return Owned::steal(reinterpret_cast<PyObject*>(made));
}

core::PatternState& patterns_of(PyObject* state) { return *as_state(state)->patterns; }

void set_module_classifier_state(PyObject* state) noexcept { module_state = state; }

void clear_module_classifier_state() noexcept {
    if (!module_state) return;
    // Held while the references go: their finalisers may run anything.
    const Owned held = Owned::take(module_state);
    state_clear(held.get());
}

}  // namespace halvec::binding
