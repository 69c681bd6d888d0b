#include "binding/common/test_hooks.hpp"

#ifdef HALVEC_TEST_HOOKS

#include "binding/patterns/classifier_state.hpp"
#include "common/refs.hpp"
#include "common/signals.hpp"
#include "engine/memory.hpp"

namespace halvec::binding {
namespace {

PyObject* fail_allocation(PyObject*, PyObject* arg) {
    const unsigned long long nth = PyLong_AsUnsignedLongLong(arg);
    if (nth == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    engine::memory::fail_allocation(nth);
    Py_RETURN_NONE;
}

PyObject* allocations(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(engine::memory::allocations()); }

PyObject* memory_in_use(PyObject*, PyObject*) { return PyLong_FromSize_t(engine::memory::in_use()); }

PyObject* budget(PyObject*, PyObject*) { return PyLong_FromSize_t(engine::memory::budget()); }

PyObject* set_budget(PyObject*, PyObject* arg) {
    const std::size_t bytes = PyLong_AsSize_t(arg);
    if (bytes == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    engine::memory::set_budget(bytes);
    Py_RETURN_NONE;
}

PyObject* clear_caches(PyObject*, PyObject*) {
    clear_module_classifier_state();
    Py_RETURN_NONE;
}

PyObject* signal_at_check(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "signal_at_check(n, signum) takes 2 arguments");
        return nullptr;
    }
    const unsigned long long nth = PyLong_AsUnsignedLongLong(args[0]);
    if (nth == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const long signum = PyLong_AsLong(args[1]);
    if (signum == -1 && PyErr_Occurred()) return nullptr;
    if (signum < 1 || signum > 64) {
        PyErr_SetString(PyExc_ValueError, "signal number out of range");
        return nullptr;
    }
    signal_hooks::signal_at_check(nth, static_cast<int>(signum));
    Py_RETURN_NONE;
}

PyObject* signal_checks(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(signal_hooks::checks()); }

PyMethodDef hooks[] = {
    {"fail_allocation", fail_allocation, METH_O,
     "fail_allocation(n): the nth engine allocation from now fails; 0 stops failures."},
    {"allocations", allocations, METH_NOARGS, "Engine allocations made so far."},
    {"memory_in_use", memory_in_use, METH_NOARGS, "Bytes the engine holds now."},
    {"budget", budget, METH_NOARGS, "The engine's memory budget in bytes."},
    {"set_budget", set_budget, METH_O, "set_budget(bytes): a lower budget; 0 restores the default."},
    {"clear_caches", clear_caches, METH_NOARGS, "Empties the classifier's caches and plans."},
    {"signal_at_check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(signal_at_check)), METH_FASTCALL,
     "signal_at_check(n, signum): the nth signal check from now finds signum pending; n = 0 disarms."},
    {"signal_checks", signal_checks, METH_NOARGS, "Signal checks made so far."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool install_test_hooks(const char* name) {
    Owned module = Owned::steal(PyModule_New(name));
    if (!module || PyModule_AddFunctions(module.get(), hooks) < 0) return false;
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_SetItemString(modules, name, module.get()) == 0;
}

}  // namespace halvec::binding

#else

namespace halvec::binding {
bool install_test_hooks(const char*) { return true; }
}  // namespace halvec::binding

#endif
