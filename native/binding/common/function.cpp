#include "binding/common/function.hpp"

#include <cstddef>

#include "binding/common/arguments.hpp"
#include "binding/common/errors.hpp"
#include "binding/common/traceback.hpp"
#include "common/identity.hpp"
#include "common/names.hpp"
#include "common/python.hpp"

namespace halvec::binding {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Signature sig;
    PyObject* globals;
    // The built-ins its global names fall back to, taken when it was made.
    // Never cleared before the function goes (the collector breaks a cycle
    // through them at the mapping), so a call can borrow them throughout.
    PyObject* builtins;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* code;
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* traceback_code;  // made on the first error that leaves the function
    PyObject* state;           // what the callable keeps between calls, or null
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

[[gnu::cold, gnu::noinline]] PyObject* call_failed(FunctionObject* f) {
    if (!f->traceback_code) {
        PyObject* exc = PyErr_GetRaisedException();
        const ModuleIdentity& module = *f->sig.spec->module;
        const Owned dotted = Owned::steal(PyUnicode_FromFormat("%s.%s", module.name, f->sig.spec->qualname));
        const char* name = dotted ? PyUnicode_AsUTF8(dotted.get()) : nullptr;
        f->traceback_code = name ? traceback_code(module, name).release() : nullptr;
        if (!f->traceback_code) PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    // Making the entry allocates, and the collector may then clear the
    // function's fields: the entry works from references of its own.
    const Owned code = Owned::take(f->traceback_code);
    const Owned globals = Owned::take(f->globals);
    add_traceback_entry(code, globals);
    return nullptr;
}

PyObject* run(FunctionObject* f, const Call& call) {
    PyObject* result = without_cxx_exceptions([&] { return f->sig.spec->impl(call); });
    if (!result) return call_failed(f);
    return result;
}

[[gnu::noinline]] PyObject* run_with_binding(FunctionObject* f, PyObject* callable, const py::Scope& scope,
                                             PyObject* state, PyObject* const* args, std::size_t nargsf,
                                             PyObject* kwnames) {
    BoundArgs bound;
    if (!bind_arguments(f->sig, args, nargsf, kwnames, bound)) return call_failed(f);
    return run(f, Call{callable, scope, bound.arg, state});
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    if (!f->globals) [[unlikely]] {
        // The garbage collector has broken this function's cycle with the
        // module namespace (possible only while the interpreter shuts down).
        PyErr_SetString(PyExc_RuntimeError, "the module namespace of this function is gone");
        return nullptr;
    }
    // Ours for the whole call: the collector may clear the function's fields
    // while the call runs Python code.
    const Owned globals = Owned::take(f->globals);
    const Owned state = Owned::take(f->state);
    const py::Scope scope{globals, f->builtins};
    PyObject* bound[kMaxParams];
    if ((kwnames && PyTuple_GET_SIZE(kwnames)) ||
        !bind_positional_as_given(f->sig, args, PyVectorcall_NARGS(nargsf), bound)) {
        return run_with_binding(f, callable, scope, state.get(), args, nargsf, kwnames);
    }
    return run(f, Call{callable, scope, bound, state.get()});
}

// Like a Python function: read from an instance it becomes a bound method.
// The method-descriptor flag lets `obj.method(...)` skip this entirely.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, as Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->doc);
    Py_VISIT(f->state);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->state);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->traceback_code);
    for (PyObject*& n : f->sig.names) Py_CLEAR(n);
    PyObject_GC_Del(self);
    Py_DECREF(type);  // each function holds its type
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(FunctionObject, builtins), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

// Made by callers only (no instances from Python), and closed to edits as a
// built-in type is. The type's `__module__`, taken from its dotted name, is
// also what its functions report: all are the module's.
PyType_Spec function_spec = {
    "halvec.core.model_router.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// The type an argument of a parameter with `check` keeps as it is.
const PyTypeObject* exact_type(Check check) {
    switch (check) {
        case Check::None: return nullptr;
        case Check::Int: return &PyLong_Type;
        case Check::Str:
        case Check::StrOrNone: return &PyUnicode_Type;
        case Check::Dict: return &PyDict_Type;
    }
    return nullptr;
}

Owned make_default(Default d) {
    switch (d) {
        case Default::Zero: return Owned::steal(PyLong_FromLong(0));
        case Default::None: break;
    }
    return Owned::take(Py_None);
}

Owned make_defaults(const CallableSpec& spec) {
    if (spec.defaults.empty()) return Owned::take(Py_None);
    Owned tuple = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.defaults.size())));
    if (!tuple) return {};
    for (std::size_t i = 0; i < spec.defaults.size(); ++i) {
        Owned value = make_default(spec.defaults[i]);
        if (!value) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value.release());
    }
    return tuple;
}

Owned make_annotations(const CallableSpec& spec) {
    Owned dict = Owned::steal(PyDict_New());
    if (!dict) return {};
    for (const Param& p : spec.params) {
        if (!p.annotation) continue;
        Owned text = py::str(p.annotation);
        if (!text || PyDict_SetItemString(dict.get(), p.name, text.get()) < 0) return {};
    }
    if (spec.returns) {
        Owned text = py::str(spec.returns);
        if (!text || PyDict_SetItem(dict.get(), names::get().ret, text.get()) < 0) return {};
    }
    return dict;
}

// The interpreter's own code type, with the parameter names in place, so
// that introspection reads the signature as it reads a Python function's.
Owned make_code(const CallableSpec& spec, PyObject* const* param_names, Borrowed name,
                Borrowed qualname) {
    Owned empty =
        Owned::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(spec.module->source_file, spec.name, 1)));
    if (!empty) return {};
    Owned replace = Owned::steal(PyObject_GetAttr(empty.get(), names::get().replace));
    if (!replace) return {};
    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
    Owned varnames = Owned::steal(PyTuple_New(nparams));
    if (!varnames) return {};
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(param_names[i]));
    }
    Owned count = Owned::steal(PyLong_FromSsize_t(nparams));
    Owned flags = Owned::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    Owned kwargs = Owned::steal(PyDict_New());
    if (!count || !flags || !kwargs) return {};
    if (PyDict_SetItemString(kwargs.get(), "co_argcount", count.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", count.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_flags", flags.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_name", name.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()) < 0) {
        return {};
    }
    return py::call_with_kwargs(replace, kwargs);
}

}  // namespace

Owned make_function_type(const ModuleIdentity& module) {
    PyType_Spec spec = function_spec;
    spec.name = module.function_type;
    Owned type = py::type_from_spec(spec);
    if (!type) return {};
    // The layout members only tell the type its offsets. Left in its
    // namespace, __vectorcalloffset__ would be readable on every function and
    // give away the address of the call entry point, so it goes.
    PyTypeObject* as_type = reinterpret_cast<PyTypeObject*>(type.get());
    const Owned dict = Owned::steal(PyType_GetDict(as_type));
    if (!dict) return {};
    for (const char* layout : {"__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"}) {
        const Owned key = Owned::steal(PyUnicode_FromString(layout));
        if (!key) return {};
        const int present = PyDict_Contains(dict.get(), key.get());
        if (present < 0 || (present && PyDict_DelItem(dict.get(), key.get()) < 0)) return {};
    }
    PyType_Modified(as_type);
    return type;
}

Owned make_function(Borrowed type, const CallableSpec& spec, Borrowed globals, Borrowed state) {
    if (spec.params.size() > kMaxParams || spec.defaults.size() > spec.params.size()) {
        PyErr_Format(PyExc_SystemError, "bad callable table entry for %s", spec.qualname);
        return {};
    }
    FunctionObject* f = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(type.get()));
    if (!f) return {};
    Owned owner = Owned::steal(reinterpret_cast<PyObject*>(f));
    // Every field must be valid before anything can fail: dealloc reads them all.
    f->vectorcall = function_vectorcall;
    f->sig = Signature{};
    f->globals = f->builtins = f->name = f->qualname = f->doc = nullptr;
    f->defaults = f->annotations = f->code = f->dict = f->weakreflist = f->traceback_code = nullptr;
    f->state = Py_XNewRef(state.get());

    Signature& sig = f->sig;
    sig.spec = &spec;
    sig.nparams = static_cast<Py_ssize_t>(spec.params.size());
    sig.nrequired = sig.nparams - static_cast<Py_ssize_t>(spec.defaults.size());
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        sig.names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (!sig.names[i]) return {};
        sig.exact[i] = exact_type(spec.params[i].check);
        sig.or_none[i] = spec.params[i].check == Check::StrOrNone;
        sig.has_int_params |= spec.params[i].check == Check::Int;
    }

    f->name = PyUnicode_InternFromString(spec.name);
    f->qualname = PyUnicode_InternFromString(spec.qualname);
    if (!f->name || !f->qualname) return {};
    f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    f->defaults = make_defaults(spec).release();
    f->annotations = make_annotations(spec).release();
    if (!f->doc || !f->defaults || !f->annotations) return {};
    for (Py_ssize_t i = sig.nrequired; i < sig.nparams; ++i) {
        sig.defaults[i] = PyTuple_GET_ITEM(f->defaults, i - sig.nrequired);
    }
    f->code = make_code(spec, sig.names, f->name, f->qualname).release();
    if (!f->code) return {};
    f->builtins = py::builtins_for(globals).release();
    if (!f->builtins) return {};
    f->globals = Py_NewRef(globals.get());
    PyObject_GC_Track(f);
    return owner;
}

}  // namespace halvec::binding
