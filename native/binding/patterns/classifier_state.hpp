// The classifier's caches (compiled patterns, the plans for the two lists)
// as an object of the interpreter's, owned by the `classify_complexity`
// function that uses them. The collector sees through it to the entries the
// plans hold; it goes, and takes them with it, when the function goes, as
// when the interpreter tears down the module's namespace at exit.
#pragma once

#include "common/refs.hpp"
#include "patterns/state.hpp"

namespace halvec::binding {

// A new, empty state, or an empty reference with an exception set.
Owned make_classifier_state();
core::PatternState& patterns_of(PyObject* state);

// The state of the module of the process (not a reference), so that the
// module's clear and free slots and the test hooks can empty it. Each
// extension module built from these sources has its own.
void set_module_classifier_state(PyObject* state) noexcept;
void clear_module_classifier_state();

// The test hook clear_caches(), which empties that state (test_hooks.hpp);
// an empty group in other builds.
extern PyMethodDef classifier_cache_hooks[];

}  // namespace halvec::binding
