#include "binding/common/test_hooks.hpp"

#ifdef HALVEC_TEST_HOOKS

#include "common/signals.hpp"

namespace halvec::binding {
namespace {

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

PyMethodDef signal_hooks[] = {
    {"signal_at_check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(signal_at_check)), METH_FASTCALL,
     "signal_at_check(n, signum): the nth signal check from now finds signum pending; n = 0 disarms."},
    {"signal_checks", signal_checks, METH_NOARGS, "Signal checks made so far."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool install_test_hooks(const char* name, std::initializer_list<PyMethodDef*> groups) {
    Owned module = Owned::steal(PyModule_New(name));
    if (!module || PyModule_AddFunctions(module.get(), signal_hooks) < 0) return false;
    for (PyMethodDef* group : groups) {
        if (PyModule_AddFunctions(module.get(), group) < 0) return false;
    }
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_SetItemString(modules, name, module.get()) == 0;
}

}  // namespace halvec::binding

#else

namespace halvec::binding {
bool install_test_hooks(const char*, std::initializer_list<PyMethodDef*>) { return true; }
}  // namespace halvec::binding

#endif
