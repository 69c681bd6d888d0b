#include "router/usage.hpp"

#include "common/calls.hpp"
#include "common/dict_walk.hpp"
#include "common/dicts.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "router/router.hpp"

namespace halvec::core::usage {
namespace {

// mapping[key]; an exact dict is looked up directly, with the KeyError its
// own lookup raises for a missing key.
Owned item(Borrowed mapping, Borrowed key) {
    if (!PyDict_CheckExact(mapping.get())) return Owned::steal(PyObject_GetItem(mapping.get(), key.get()));
    PyObject* found = PyDict_GetItemWithError(mapping.get(), key.get());
    if (found) return Owned::take(found);
    if (!PyErr_Occurred()) {
        Owned args = Owned::steal(PyTuple_Pack(1, key.get()));
        if (args) PyErr_SetObject(PyExc_KeyError, args.get());
    }
    return {};
}

// self._usage_stats[model_key], read afresh.
Owned counter_record(Borrowed self, Borrowed model_key) {
    Owned stats = py::getattr(self, names::get().priv_usage_stats);
    if (!stats) return {};
    return item(stats, model_key);
}

Owned new_counter_record() {
    const names::Table& n = names::get();
    Owned zero = Owned::steal(PyLong_FromLong(0));
    Owned record = Owned::steal(PyDict_New());
    if (!zero || !record || PyDict_SetItem(record.get(), n.calls, zero.get()) < 0 ||
        PyDict_SetItem(record.get(), n.tokens, zero.get()) < 0) {
        return {};
    }
    return record;
}

// record[field] += amount
bool add_to(Borrowed record, PyObject* field, Borrowed amount) {
    Owned current = Owned::steal(PyObject_GetItem(record.get(), field));
    if (!current) return false;
    Owned total = Owned::steal(PyNumber_InPlaceAdd(current.get(), amount.get()));
    return total && PyObject_SetItem(record.get(), field, total.get()) == 0;
}

// record[field] += amount, for an exact dict: one lookup and one store, as
// the general step makes them, and for an exact int value int's own
// addition, which is what += comes to (`amount` is always an exact int).
bool add_to_dict(Borrowed record, PyObject* field, Borrowed amount) {
    const Owned current = item(record, field);
    if (!current) return false;
    Owned total = Owned::steal(PyLong_CheckExact(current.get())
                                   ? PyLong_Type.tp_as_number->nb_add(current.get(), amount.get())
                                   : PyNumber_InPlaceAdd(current.get(), amount.get()));
    return total && PyDict_SetItem(record.get(), field, total.get()) == 0;
}

// self._usage_stats[model_key][field] += amount, every step read afresh.
bool count(Borrowed self, Borrowed model_key, PyObject* field, Borrowed amount) {
    Owned record = counter_record(self, model_key);
    if (!record) return false;
    return PyDict_CheckExact(record.get()) ? add_to_dict(record, field, amount) : add_to(record, field, amount);
}

}  // namespace

// With the plain dicts and ints the router keeps, none of these steps runs
// Python code, so no other thread can run between the read and the write of
// a counter.
PyObject* record_usage(Borrowed self, Borrowed model_key, Borrowed tokens) {
    const names::Table& n = names::get();
    Owned stats = py::getattr(self, n.priv_usage_stats);
    if (!stats) return nullptr;
    const int present = PyDict_CheckExact(stats.get()) ? PyDict_Contains(stats.get(), model_key.get())
                                                       : PySequence_Contains(stats.get(), model_key.get());
    if (present < 0) return nullptr;
    if (!present) {
        // The record goes into _usage_stats read afresh (the test may have
        // run code that rebound it). Making the record may run the garbage
        // collector, and with it other threads; setdefault then keeps a
        // record another thread has just stored, so its count is not lost.
        Owned record = new_counter_record();
        if (!record) return nullptr;
        stats = py::getattr(self, n.priv_usage_stats);
        if (!stats) return nullptr;
        if (PyDict_CheckExact(stats.get())) {
            if (!PyDict_SetDefault(stats.get(), model_key.get(), record.get())) return nullptr;
        } else if (PyObject_SetItem(stats.get(), model_key.get(), record.get()) < 0) {
            return nullptr;
        }
    }
    stats.reset();

    Owned one = Owned::steal(PyLong_FromLong(1));
    if (!one || !count(self, model_key, n.calls, one) || !count(self, model_key, n.tokens, tokens)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_usage_stats(Borrowed self) {
    Owned stats = py::getattr(self, names::get().priv_usage_stats);
    if (!stats) return nullptr;
    if (PyDict_CheckExact(stats.get())) return PyDict_Copy(stats.get());
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), stats.get());  // dict(stats)
}

namespace {

constexpr Py_ssize_t kListingKeys = 12;

bool put(Borrowed record, PyObject* key, Owned value) {
    return value && PyDict_SetItem(record.get(), key, value.get()) == 0;
}

// self._usage_stats.get(key, {"calls": 0, "tokens": 0}): the counter record,
// or, for an exact dict without the key, an empty reference (the zeros)
// (and no exception) when the key has none.
bool find_counters(Borrowed self, Borrowed key, Owned& counters) {
    Owned stats = py::getattr(self, names::get().priv_usage_stats);
    if (!stats) return false;
    if (PyDict_CheckExact(stats.get())) {
        counters = Owned::take(PyDict_GetItemWithError(stats.get(), key.get()));
        return counters || !PyErr_Occurred();
    }
    // stats.get(key, {"calls": 0, "tokens": 0}), whatever it gives back.
    Owned fresh = new_counter_record();
    if (!fresh) return false;
    Owned get = Owned::steal(PyObject_GetAttrString(stats.get(), "get"));
    if (!get) return false;
    counters = py::call(get, key, fresh);
    return static_cast<bool>(counters);
}

// One listing record, its values read in the order of its keys.
Owned listing_record(Borrowed self, Borrowed key, Borrowed spec) {
    const names::Table& n = names::get();
    Owned available = py::call_method(self, n.is_available, spec);
    if (!available) return {};
    Owned counters;
    if (!find_counters(self, key, counters)) return {};

    Owned record = py::new_dict(kListingKeys);
    if (!record) return {};
    if (!put(record, n.key, Owned::take(key)) || !put(record, n.id, py::getattr(spec, n.id)) ||
        !put(record, n.provider, py::getattr(spec, n.provider)) ||
        !put(record, n.display_name, py::getattr(spec, n.display_name)) ||
        !put(record, n.description, py::getattr(spec, n.description))) {
        return {};
    }
    Owned tier = py::getattr(spec, n.complexity_tier);
    if (!tier || !put(record, n.complexity_tier, py::getattr(tier, n.value))) return {};
    const int enabled = router::is_enabled(self, key);
    if (enabled < 0 || !put(record, n.enabled, Owned::take(enabled ? Py_True : Py_False)) ||
        !put(record, n.available, std::move(available)) ||
        !put(record, n.cost_per_1k_input, py::getattr(spec, n.cost_per_1k_input)) ||
        !put(record, n.cost_per_1k_output, py::getattr(spec, n.cost_per_1k_output))) {
        return {};
    }
    for (PyObject* field : {n.calls, n.tokens}) {
        Owned value = counters ? Owned::steal(PyObject_GetItem(counters.get(), field))
                               : Owned::steal(PyLong_FromLong(0));
        if (!put(record, field, std::move(value))) return {};
    }
    return record;
}

}  // namespace

PyObject* get_available_models(const py::Scope& scope, Borrowed self) {
    const names::Table& n = names::get();
    Owned catalogue = py::lookup_global(scope, n.available_models);
    if (!catalogue) return nullptr;
    py::ItemsWalk entries;
    Owned result = Owned::steal(PyList_New(0));
    if (!result || !entries.start(catalogue)) return nullptr;
    Owned key, spec;
    int more;
    while ((more = entries.next(key, spec)) > 0) {
        Owned record = listing_record(self, key, spec);
        if (!record || PyList_Append(result.get(), record.get()) < 0) return nullptr;
    }
    if (more < 0) return nullptr;
    return result.release();
}

}  // namespace halvec::core::usage
