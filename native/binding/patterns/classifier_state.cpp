#include "binding/patterns/classifier_state.hpp"

#include <memory>
#include <new>
#include <utility>

#include "common/python.hpp"

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
    Py_VISIT(Py_TYPE(self));
    core::PatternState* patterns = as_state(self)->patterns;
    return patterns ? patterns->traverse(visit, arg) : 0;
}

int state_clear(PyObject* self) {
    if (core::PatternState* patterns = as_state(self)->patterns) patterns->clear();
    return 0;
}

void state_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (module_state == self) module_state = nullptr;
    // Emptied first (its references' finalisers may run anything), then freed.
    state_clear(self);
    delete std::exchange(as_state(self)->patterns, nullptr);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {0, nullptr},
};

PyType_Spec state_spec = {
    "halvec.core.model_router.classifier_state",
    sizeof(StateObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    state_slots,
};

}  // namespace

// The module has one state, so its type is made with it and lives as long
// as it does (the object holds its type).
Owned make_classifier_state() {
    std::unique_ptr<core::PatternState> patterns;
    try {
        patterns = std::make_unique<core::PatternState>();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    const Owned type = py::type_from_spec(state_spec);
    if (!type) return {};
    StateObject* made = PyObject_GC_New(StateObject, reinterpret_cast<PyTypeObject*>(type.get()));
    if (!made) return {};
    made->patterns = patterns.release();
    PyObject_GC_Track(made);
    return Owned::steal(reinterpret_cast<PyObject*>(made));
}

core::PatternState& patterns_of(PyObject* state) { return *as_state(state)->patterns; }

void set_module_classifier_state(PyObject* state) noexcept { module_state = state; }

void clear_module_classifier_state() {
    if (!module_state) return;
    // Held while the references go: their finalisers may run anything.
    const Owned held = Owned::take(module_state);
    state_clear(held.get());
}

#ifdef HALVEC_TEST_HOOKS
namespace {
PyObject* clear_caches(PyObject*, PyObject*) {
    clear_module_classifier_state();
    Py_RETURN_NONE;
}
}  // namespace

PyMethodDef classifier_cache_hooks[] = {
    {"clear_caches", clear_caches, METH_NOARGS, "Empties the classifier's caches and plans."},
    {nullptr, nullptr, 0, nullptr},
};
#else
PyMethodDef classifier_cache_hooks[] = {{nullptr, nullptr, 0, nullptr}};
#endif

}  // namespace halvec::binding
