// The package's private module halvec._workload: the native parts of reading
// and evaluating a workload (halvec.workload, halvec.evaluation and
// halvec.parallel). It holds no state; what the engine decides is asked of
// halvec._patterns.
#include "binding/common/errors.hpp"
#include "binding/common/test_hooks.hpp"
#include "workload/group_sums.hpp"
#include "workload/line_count.hpp"
#include "workload/task_lines.hpp"
#include "workload/token_estimate.hpp"
#include "workload/unspaced.hpp"

namespace halvec::binding {
namespace {

PyObject* task_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return without_cxx_exceptions([&] { return core::task_lines(args, nargs); });
}

PyObject* count_lines_in(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "count_lines_in() takes 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    return without_cxx_exceptions([&] { return core::count_lines_in(args[0], args[1]); });
}

PyObject* unspaced(PyObject*, PyObject* descriptions) {
    return without_cxx_exceptions([&] { return core::unspaced(descriptions); });
}

PyObject* token_estimates(PyObject*, PyObject* descriptions) {
    return without_cxx_exceptions([&] { return core::token_estimates(descriptions); });
}

PyObject* group_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "group_sums() takes 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    return without_cxx_exceptions([&] { return core::group_sums(args[0], args[1]); });
}

PyMethodDef module_methods[] = {
    {"task_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(task_lines)), METH_FASTCALL,
     "task_lines(lines, ids, descriptions, routes, spans, tokens, encode, /): an evaluation's per-task JSON lines, as UTF-8."},
    {"count_lines_in", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_lines_in)), METH_FASTCALL,
     "count_lines_in(file, cuts, /): the number of line breaks in each stretch [cuts[k], cuts[k + 1]) of an open file."},
    {"unspaced", unspaced, METH_O,
     "unspaced(descriptions, /): the indices of the descriptions written mostly in a script without spaces."},
    {"token_estimates", token_estimates, METH_O,
     "token_estimates(descriptions, /): each description's UTF-8 bytes / 4, rounded up."},
    {"group_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group_sums)), METH_FASTCALL,
     "group_sums(keys, columns, /): (key, count, column sums) for each key, told apart by identity."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_workload(PyObject*) {
    const Owned done = Owned::steal(without_cxx_exceptions([&] {
        return install_test_hooks("halvec._workload_hooks") ? Py_NewRef(Py_None) : nullptr;
    }));
    return done ? 0 : -1;
}

PyModuleDef_Slot workload_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_workload)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef workload_def = {
    PyModuleDef_HEAD_INIT, "_workload",
    "The native parts of reading and evaluating a workload: per-task lines, line counts, token estimates, "
    "unspaced descriptions and group sums, for the package.",
    0, module_methods, workload_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace halvec::binding

extern "C" PyMODINIT_FUNC PyInit__workload() { return PyModuleDef_Init(&halvec::binding::workload_def); }
