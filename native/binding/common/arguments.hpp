// Binding of vectorcall arguments to a callable's parameters, with the
// module's own argument errors and entry checks.
#pragma once

#include "binding/common/signature.hpp"

namespace halvec::binding {

// Per-function data the binder reads on every call, prepared at creation.
struct Signature {
    const CallableSpec* spec;
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    bool has_int_params;
    // The type an argument passes its entry check with unchanged (nullptr:
    // any), and whether None passes too; from the callable's table.
    const PyTypeObject* exact[kMaxParams];
    bool or_none[kMaxParams];
    PyObject* names[kMaxParams];     // interned parameter names
    PyObject* defaults[kMaxParams];  // borrowed from the function's __defaults__
};

struct BoundArgs {
    PyObject* arg[kMaxParams];       // borrowed from the call, defaults or `converted`
    Owned converted[kMaxParams];     // results of int() conversions
};

// Fills `out` and returns true, or returns false with the exception set.
bool bind_arguments(const Signature& sig, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, BoundArgs& out);

// Most calls pass their arguments by position, each of the expected type: for
// them binding is a copy, with the defaults after the last one given. A
// parameter checked for a built-in type then needs only a comparison of the
// argument's type (`exact`, with None allowed where `or_none`). False (and no
// exception) sends the call to bind_arguments, which converts or raises
// exactly as for any other call.
inline bool bind_positional_as_given(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject** out) {
    if (nargs < sig.nrequired || nargs > sig.nparams) return false;
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        PyObject* value = i < nargs ? args[i] : sig.defaults[i];
        const PyTypeObject* exact = sig.exact[i];
        if (exact && Py_TYPE(value) != exact && !(value == Py_None && sig.or_none[i])) return false;
        out[i] = value;
    }
    return true;
}

}  // namespace halvec::binding
