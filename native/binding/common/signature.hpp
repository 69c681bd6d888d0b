// The description of one callable: everything the function object shows to
// introspection and everything the argument binder needs. Each callable of
// the module is one constant of this type (see callables.cpp).
#pragma once

#include <cstddef>
#include <span>

#include "common/identity.hpp"
#include "common/python.hpp"

namespace halvec::binding {

// How a parameter is checked on entry, from its annotation.
enum class Check : unsigned char {
    None,       // the module's own classes, self and cls: passed as given
    Int,        // "int": any number, converted as int() does
    Str,        // "str": exactly str
    StrOrNone,  // "str | None": exactly str, or None
    Dict,       // "dict[...]": exactly dict
};

enum class Default : unsigned char { None, Zero };

struct Param {
    const char* name;
    const char* annotation;  // nullptr: not annotated
    Check check;
};

inline constexpr std::size_t kMaxParams = 4;

// What an implementation receives: the callable itself, where its global
// names are found (the module namespace, then the built-ins the function was
// made with), one checked argument per parameter, and what the callable keeps
// between calls (null for most); all held for the call.
struct Call {
    PyObject* function;
    py::Scope scope;
    PyObject* const* args;
    PyObject* state;
};

// Returns a new reference, or nullptr with an exception set.
using Impl = PyObject* (*)(const Call&);

struct CallableSpec {
    const char* name;
    const char* qualname;
    std::span<const Param> params;
    std::span<const Default> defaults;  // for the trailing parameters
    const char* returns;                // nullptr: no return annotation
    const char* doc;                    // nullptr: no docstring
    Impl impl;
    const ModuleIdentity* module = &kModelRouter;
};

}  // namespace halvec::binding
