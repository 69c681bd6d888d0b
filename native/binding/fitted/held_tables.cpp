#include "binding/fitted/held_tables.hpp"

namespace halvec::binding {

using core::fitted::Scratch;
using core::fitted::Tables;

Owned exact_text(PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "a text to score must be a str, not %.200s", Py_TYPE(text)->tp_name);
        return {};
    }
    return PyUnicode_CheckExact(text) ? Owned::take(text) : Owned::steal(PyUnicode_FromObject(text));
}

bool read_exact(HeldTables& held, PyObject* text, SignalPacing& pacing, double* scores, core::fitted::Reading& out) {
    Tables& tables = *held.tables;
    if (!held.busy) {
        held.busy = true;
        const bool done = core::fitted::read(tables, {tables.counts(), tables.found()}, text, pacing, scores, out);
        held.busy = false;
        return done;
    }
    auto* counts = static_cast<std::uint64_t*>(PyMem_Calloc(tables.counts_size(), sizeof(std::uint64_t)));
    auto* found = static_cast<std::uint32_t*>(PyMem_Calloc(tables.found_size(), sizeof(std::uint32_t)));
    bool done = false;
    if (counts && found) {
        done = core::fitted::read(tables, Scratch{counts, found}, text, pacing, scores, out);
    } else {
        PyErr_NoMemory();
    }
    PyMem_Free(counts);
    PyMem_Free(found);
    return done;
}

Owned coverage_of(const core::fitted::Reading& reading) {
    if (reading.places == 0) return Owned::take(Py_None);
    return Owned::steal(PyFloat_FromDouble(static_cast<double>(reading.known) / static_cast<double>(reading.places)));
}

}  // namespace halvec::binding
