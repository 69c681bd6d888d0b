#include "binding/common/imports.hpp"

#include "common/python.hpp"

namespace halvec::binding {

bool import_module(const py::Scope& scope, const char* name) {
    Owned module_name = py::str(name);
    if (!module_name) return false;
    Owned module = Owned::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), scope.globals.get(), nullptr, nullptr, 0));
    return py::set_global(scope, name, std::move(module));
}

namespace {

// getattr(module, name); failing that, a submodule of that name that is
// already loaded; failing that, ImportError.
Owned import_one(Borrowed module, const char* module_name, const char* name) {
    Owned value = Owned::steal(PyObject_GetAttrString(module.get(), name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Owned full_name = Owned::steal(PyUnicode_FromFormat("%s.%s", module_name, name));
    if (!full_name) return {};
    value = Owned::steal(PyImport_GetModule(full_name.get()));
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %s", name);
    return value;
}

}  // namespace

bool import_from(const py::Scope& scope, const char* module, std::initializer_list<const char*> names) {
    Owned module_name = py::str(module);
    Owned fromlist = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!module_name || !fromlist) return false;
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* text = PyUnicode_FromString(name);
        if (!text) return false;
        PyTuple_SET_ITEM(fromlist.get(), i++, text);
    }
    Owned imported = Owned::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), scope.globals.get(), nullptr, fromlist.get(), 0));
    if (!imported) return false;
    for (const char* name : names) {
        if (!py::set_global(scope, name, import_one(imported, module, name))) return false;
    }
    return true;
}

}  // namespace halvec::binding
