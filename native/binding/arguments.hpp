// Binding of vectorcall arguments to a callable's parameters, with the
// module's own argument errors and entry checks.
#pragma once

#include "binding/signature.hpp"

namespace halvec::binding {

// Per-function data the binder reads on every call, prepared at creation.
struct Signature {
    const CallableSpec* spec;
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    bool has_int_params;
    Check checks[kMaxParams];        // each parameter's entry check, from the callable's table
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

// True when `value` passes `check` unchanged: the binder above would neither
// convert it nor refuse it.
inline bool passes_as_given(Check check, PyObject* value) {
    switch (check) {
        case Check::None:
            return true;
        case Check::Int:
            return PyLong_CheckExact(value);
        case Check::StrOrNone:
            if (value == Py_None) return true;
            [[fallthrough]];
        case Check::Str:
            return PyUnicode_CheckExact(value);
        case Check::Dict:
            return PyDict_CheckExact(value);
    }
    return false;
}

// Most calls pass their arguments by position, each of the expected type: for
// them binding is a copy, with the defaults after the last one given. False
// (and no exception) sends the call to bind_arguments, which converts or
// raises exactly as for any other call.
inline bool bind_positional_as_given(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject** out) {
    if (nargs < sig.nrequired || nargs > sig.nparams) return false;
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        PyObject* value = i < nargs ? args[i] : sig.defaults[i];
        if (!passes_as_given(sig.checks[i], value)) return false;
        out[i] = value;
    }
    return true;
}

}  // namespace halvec::binding
