// Module creation: the entry point, the create and exec steps of
// multi-phase initialisation, and the slots through which the module object
// owns its state.
//
// The module keeps two facts for the whole process: the interpreter that
// first created it, and the module object whose exec step ran. Its top level
// therefore runs at most once per process; every later import, also after
// removal from sys.modules, and every reload yields that same object. This
// record holds no reference: the object is kept alive until the interpreter
// starts to exit (lifetime.hpp), then lives and dies like any module. Its
// clear and free slots empty the classifier's caches, which its
// `classify_complexity` function owns.

#include "binding/common/errors.hpp"
#include "binding/common/function.hpp"
#include "binding/common/test_hooks.hpp"
#include "binding/common/traceback.hpp"
#include "binding/patterns/classifier_state.hpp"
#include "binding/router/lifetime.hpp"
#include "binding/router/toplevel.hpp"
#include "common/identity.hpp"
#include "common/names.hpp"

namespace halvec::binding {
namespace {

const char* const kModuleDoc =
    "Model Router \xE2\x80\x94 Coordinator-centric model selection for workers.\n"
    "\n"
    "Architecture:\n"
    "  - The COORDINATOR (main agent) always uses the model chosen by the user\n"
    "    in Settings. This never changes automatically.\n"
    "  - When the Coordinator spawns WORKERS, it decides which model each worker\n"
    "    should use based on the task it's delegating.\n"
    "  - The Coordinator can either:\n"
    "    (a) Explicitly pick a model: worker(model_key=\"claude-haiku\", ...)\n"
    "    (b) Let the router auto-select: worker(model_key=\"auto\", ...)\n"
    "\n"
    "Available models:\n"
    "  - Claude Opus:   Complex reasoning, multi-step planning, deep analysis\n"
    "  - Claude Sonnet: Balanced \xE2\x80\x94 good for most tasks\n"
    "  - Claude Haiku:  Fast & cheap \xE2\x80\x94 summaries, lookups, simple tasks\n"
    "  - GPT-5.2:       OpenAI alternative for complex tasks\n";

// Process-wide; read and written only under the import lock and the GIL.
struct ProcessState {
    bool have_interpreter = false;
    int64_t interpreter_id = 0;
    // An exec step was entered and its import has not failed.
    bool executed = false;
    // That module object while it lives: not a reference (the free slot
    // clears it).
    PyObject* module = nullptr;
};
ProcessState process;

bool check_interpreter() {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return false;
    if (!process.have_interpreter) {
        process.have_interpreter = true;
        process.interpreter_id = id;
    } else if (process.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// module.<attribute> = spec.<source>, skipped when the ModuleSpec lacks it.
bool copy_spec_attribute(Borrowed spec, Borrowed module, const char* source, const char* attribute,
                         bool skip_none) {
    Owned value = Owned::steal(PyObject_GetAttrString(spec.get(), source));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module.get(), attribute, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!check_interpreter()) return nullptr;
    // A module being deallocated (weak reference callbacks run before its
    // free slot) is not handed out again.
    if (process.module && Py_REFCNT(process.module) > 0) return Py_NewRef(process.module);

    Owned name = Owned::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Owned module = Owned::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attribute(spec, module, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, module, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, module, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, module, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Owned key = Owned::steal(PyUnicode_FromString(kModuleName));
    if (!key) return false;
    const int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    return present || PyDict_SetItem(modules, key.get(), module) == 0;
}

[[gnu::cold]] int exec_failed() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init halvec.core.model_router");
    Owned code = traceback_code(kModelRouter, "init halvec.core.model_router");
    if (!code) PyErr_Clear();  // cannot fail otherwise than for memory; keep the real error
    add_traceback_entry(code, process.module ? PyModule_GetDict(process.module) : nullptr);
    // Forget the module, so that a later import starts afresh.
    process.module = nullptr;
    process.executed = false;
    set_module_classifier_state(nullptr);
    return -1;
}

int exec_module(PyObject* module) {
    if (process.module == module) return 0;
    if (process.executed) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'model_router' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    process.executed = true;
    process.module = module;
    const Owned done = Owned::steal(without_cxx_exceptions([&] {
        const bool ran = names::init() && register_in_sys_modules(module) && run_toplevel(module) &&
                         install_test_hooks("halvec.core._model_router_hooks",
                                            {engine_memory_hooks, classifier_cache_hooks}) &&
                         keep_until_exit(module);
        return ran ? Py_NewRef(Py_None) : nullptr;
    }));
    if (!done) return exec_failed();
    return 0;
}

// Only the module of the process has caches to empty; another module object
// of this definition (one whose import failed) has none.
int clear_module(PyObject* module) {
    if (module == process.module) clear_module_classifier_state();
    return 0;
}

void free_module(void* module) {
    if (module != process.module) return;
    process.module = nullptr;
    clear_module_classifier_state();
    set_module_classifier_state(nullptr);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "model_router",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace halvec::binding

extern "C" PyMODINIT_FUNC PyInit_model_router() { return PyModuleDef_Init(&halvec::binding::module_def); }
