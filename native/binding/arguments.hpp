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

}  // namespace halvec::binding
