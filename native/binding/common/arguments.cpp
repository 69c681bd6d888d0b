#include "binding/common/arguments.hpp"

#include "common/names.hpp"

namespace halvec::binding {
namespace {

// Error paths are kept out of line so the binding loop stays small.

[[gnu::cold, gnu::noinline]] void raise_count_error(const Signature& sig, bool too_many,
                                                    Py_ssize_t given) {
    const bool exact = sig.nrequired == sig.nparams;
    const Py_ssize_t expected = too_many ? sig.nparams : sig.nrequired;
    const char* bound = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.spec->name, bound, expected, expected == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] void raise_keyword_error(const Signature& sig, const char* format,
                                                      PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, format, sig.spec->name, keyword);
}

// Attaches a note to the exception being raised. Should the note itself fail,
// that failure is raised instead, with the original as its context.
void add_note(const char* text) {
    PyObject* exc = PyErr_GetRaisedException();
    Owned note = Owned::steal(PyUnicode_FromString(text));
    Owned done;
    if (note) {
        done = Owned::steal(PyObject_CallMethodOneArg(exc, names::get().add_note, note.get()));
    }
    if (!done) {
        PyObject* failure = PyErr_GetRaisedException();
        PyException_SetContext(failure, exc);  // steals exc
        PyErr_SetRaisedException(failure);
        return;
    }
    PyErr_SetRaisedException(exc);
}

[[gnu::cold, gnu::noinline]] void raise_type_error(const char* param, const char* expected,
                                                   PyObject* value, bool is_subclass) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, Py_TYPE(value)->tp_name);
    if (is_subclass) {
        char note[160];
        PyOS_snprintf(note, sizeof note,
                      "Subclasses of built-in types are not accepted here: pass an exact %s.", expected);
        add_note(note);
    }
}

Py_ssize_t find_parameter(const Signature& sig, PyObject* keyword) {
    // Keyword names from a call site are interned, so identity almost always hits.
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (sig.names[i] == keyword) return i;
    }
    // Equal text in another object (a str subclass, a name built at run time).
    // PyUnicode_Compare compares the characters and runs no Python code.
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (PyUnicode_Compare(sig.names[i], keyword) == 0) return i;
    }
    return -1;
}

bool bind_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   BoundArgs& out) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.spec->name);
            return false;
        }
        const Py_ssize_t i = find_parameter(sig, keyword);
        if (i < 0) {
            raise_keyword_error(sig, "%s() got an unexpected keyword argument '%U'", keyword);
            return false;
        }
        if (out.arg[i]) {
            raise_keyword_error(sig, "%s() got multiple values for keyword argument '%U'", keyword);
            return false;
        }
        out.arg[i] = args[nargs + k];
    }
    return true;
}

bool convert_int_params(const Signature& sig, BoundArgs& out) {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (sig.spec->params[i].check != Check::Int) continue;
        PyObject* value = out.arg[i];
        if (PyLong_CheckExact(value)) continue;
        // A number without an integer value (a complex) still goes to the
        // conversion, whose own error then says why it has none.
        PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
        const bool number = nb && (nb->nb_int || nb->nb_index || nb->nb_float);
        if (!number && !PyComplex_Check(value)) {
            raise_type_error(sig.spec->params[i].name, "int", value, false);
            return false;
        }
        out.converted[i] = Owned::steal(PyNumber_Long(value));
        if (!out.converted[i]) return false;
        out.arg[i] = out.converted[i].get();
    }
    return true;
}

bool check_exact_types(const Signature& sig, const BoundArgs& out) {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        const Param& param = sig.spec->params[i];
        PyObject* value = out.arg[i];
        switch (param.check) {
            case Check::None:
            case Check::Int:
                break;
            case Check::StrOrNone:
                if (value == Py_None) break;
                [[fallthrough]];
            case Check::Str:
                if (!PyUnicode_CheckExact(value)) {
                    raise_type_error(param.name, "str", value, PyUnicode_Check(value));
                    return false;
                }
                break;
            case Check::Dict:
                if (!PyDict_CheckExact(value)) {
                    raise_type_error(param.name, "dict", value, PyDict_Check(value));
                    return false;
                }
                break;
        }
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, BoundArgs& out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > sig.nparams) {
        raise_count_error(sig, true, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) out.arg[i] = i < nargs ? args[i] : nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames) && !bind_keywords(sig, args, nargs, kwnames, out)) {
        return false;
    }
    for (Py_ssize_t i = nargs; i < sig.nparams; ++i) {
        if (out.arg[i]) continue;
        if (i < sig.nrequired) {
            raise_count_error(sig, false, i);
            return false;
        }
        out.arg[i] = sig.defaults[i];
    }
    if (sig.has_int_params && !convert_int_params(sig, out)) return false;
    return check_exact_types(sig, out);
}

}  // namespace halvec::binding
