// The engine allocator's test hooks (test_hooks.hpp); an empty group in other builds.
#include "binding/common/test_hooks.hpp"

#ifdef HALVEC_TEST_HOOKS

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

}  // namespace

PyMethodDef engine_memory_hooks[] = {
    {"fail_allocation", fail_allocation, METH_O,
     "fail_allocation(n): the nth engine allocation from now fails; 0 stops failures."},
    {"allocations", allocations, METH_NOARGS, "Engine allocations made so far."},
    {"memory_in_use", memory_in_use, METH_NOARGS, "Bytes the engine holds now."},
    {"budget", budget, METH_NOARGS, "The engine's memory budget in bytes."},
    {"set_budget", set_budget, METH_O, "set_budget(bytes): a lower budget; 0 restores the default."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace halvec::binding

#else

namespace halvec::binding {
PyMethodDef engine_memory_hooks[] = {{nullptr, nullptr, 0, nullptr}};
}  // namespace halvec::binding

#endif
