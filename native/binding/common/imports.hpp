// The import statements of the module's top level.
#pragma once

#include <initializer_list>

#include "common/python.hpp"

namespace halvec::binding {

// import <name>: binds the top-level package under its own name.
bool import_module(const py::Scope& scope, const char* name);

// from <module> import <name>, ...
bool import_from(const py::Scope& scope, const char* module, std::initializer_list<const char*> names);

}  // namespace halvec::binding
