#include "common/python.hpp"

#include "common/identity.hpp"
#include "common/names.hpp"

namespace halvec::py {

Owned str(const char* utf8) { return Owned::steal(PyUnicode_FromString(utf8)); }

namespace {

// NameError as the interpreter raises it, with the name attached (tracebacks
// use it for their suggestions).
void raise_name_error(Borrowed name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    PyObject* exc = PyErr_GetRaisedException();
    if (PyObject_SetAttrString(exc, "name", name.get()) < 0) {
        Py_DECREF(exc);  // that failure is raised instead
        return;
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace

Owned builtins_for(Borrowed globals) {
    PyObject* found = PyDict_GetItemWithError(globals.get(), names::get().dunder_builtins);
    if (found) {
        Owned builtins = Owned::take(found);
        if (!PyModule_Check(builtins.get())) return builtins;
        return Owned::take(PyModule_GetDict(builtins.get()));
    }
    if (PyErr_Occurred()) return {};
    return Owned::take(PyEval_GetBuiltins());
}

Owned lookup_global(const Scope& scope, Borrowed name) {
    PyObject* found = PyDict_GetItemWithError(scope.globals.get(), name.get());
    if (found) return Owned::take(found);
    if (PyErr_Occurred()) return {};
    // Held for the lookup: a key's comparison may run code that drops it elsewhere.
    const Owned builtins = Owned::take(scope.builtins);
    if (PyDict_CheckExact(builtins.get())) {
        found = PyDict_GetItemWithError(builtins.get(), name.get());
        if (found) return Owned::take(found);
        if (PyErr_Occurred()) return {};
    } else {
        Owned value = Owned::steal(PyObject_GetItem(builtins.get(), name.get()));
        if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
        PyErr_Clear();
    }
    raise_name_error(name);
    return {};
}

Owned lookup_global(const Scope& scope, const char* name) {
    Owned key = str(name);
    if (!key) return {};
    return lookup_global(scope, key);
}

bool set_global(const Scope& scope, const char* name, Owned value) {
    if (!value) return false;
    return PyDict_SetItemString(scope.globals.get(), name, value.get()) == 0;
}

Owned call_with_kwargs(Borrowed callable, Borrowed kwargs) {
    Owned no_args = Owned::steal(PyTuple_New(0));
    if (!no_args) return {};
    return Owned::steal(PyObject_Call(callable.get(), no_args.get(), kwargs.get()));
}

Owned make_class(const char* name, Borrowed bases, FunctionRef<bool(Borrowed ns)> fill) {
    Owned types = Owned::steal(PyImport_ImportModule("types"));
    if (!types) return {};
    Owned prepare = Owned::steal(PyObject_GetAttrString(types.get(), "prepare_class"));
    if (!prepare) return {};
    Owned class_name = str(name);
    if (!class_name) return {};
    Owned prepared = Owned::steal(
        PyObject_CallFunctionObjArgs(prepare.get(), class_name.get(), bases.get(), nullptr));
    if (!prepared) return {};
    if (!PyTuple_Check(prepared.get()) || PyTuple_GET_SIZE(prepared.get()) != 3) {
        PyErr_SetString(PyExc_SystemError, "types.prepare_class() returned an unexpected value");
        return {};
    }
    Owned meta = Owned::take(PyTuple_GET_ITEM(prepared.get(), 0));
    Owned ns = Owned::take(PyTuple_GET_ITEM(prepared.get(), 1));
    prepared.reset();

    Owned module_name = str(kModuleName);
    if (!module_name) return {};
    if (PyObject_SetItem(ns.get(), names::get().dunder_module, module_name.get()) < 0) return {};
    if (PyObject_SetItem(ns.get(), names::get().dunder_qualname, class_name.get()) < 0) return {};
    if (!fill(ns)) return {};
    return Owned::steal(
        PyObject_CallFunctionObjArgs(meta.get(), class_name.get(), bases.get(), ns.get(), nullptr));
}

Owned type_from_spec(PyType_Spec& spec) {
    Owned type = Owned::steal(PyType_FromSpec(&spec));
    if (!type && !PyErr_Occurred()) PyErr_NoMemory();
    return type;
}

namespace {

// The interpreter's error for an entry with more than two items. From 3.14 on
// it also gives the count, but only for an exact tuple, list or dict (whose
// size it can read without running code); anything else keeps the shorter text.
void raise_too_many([[maybe_unused]] PyObject* e) {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyTuple_CheckExact(e) || PyList_CheckExact(e) || PyDict_CheckExact(e)) {
        const Py_ssize_t size = PyDict_CheckExact(e) ? PyDict_GET_SIZE(e) : Py_SIZE(e);
        if (size > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
            return;
        }
    }
#endif
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
}

// `for key, value in ...`: the two items of one entry, taken as the
// interpreter's unpacking takes them: an exact tuple or list by its length,
// anything else by iterating it for two items and trying a third.
bool unpack_into(PyObject* e, Owned& first, Owned& second) {
    if (PyTuple_CheckExact(e) || PyList_CheckExact(e)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(e);
        if (size == 2) {
            first = Owned::take(PySequence_Fast_GET_ITEM(e, 0));
            second = Owned::take(PySequence_Fast_GET_ITEM(e, 1));
            return true;
        }
        if (size > 2) {
            raise_too_many(e);
        } else {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
        }
        return false;
    }
    Owned iterator = Owned::steal(PyObject_GetIter(e));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(e)->tp_iter && !PySequence_Check(e)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(e)->tp_name);
        }
        return false;
    }
    Owned* slots[] = {&first, &second};
    for (Py_ssize_t got = 0; got < 2; ++got) {
        *slots[got] = Owned::steal(PyIter_Next(iterator.get()));
        if (!*slots[got]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
            }
            return false;
        }
    }
    Owned extra = Owned::steal(PyIter_Next(iterator.get()));
    if (extra) {
        raise_too_many(e);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

bool unpack_pair(Borrowed entry, Owned& first, Owned& second) {
    // Into fresh references first: the previous pair is let go only when both
    // items are held, as the interpreter stores them (its finalisers may edit
    // the entry).
    Owned a, b;
    if (!unpack_into(entry.get(), a, b)) return false;
    first = std::move(a);
    second = std::move(b);
    return true;
}

}  // namespace halvec::py
