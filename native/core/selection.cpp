#include "core/selection.hpp"

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "core/router.hpp"

namespace halvec::core::selection {
namespace {

constexpr Py_ssize_t kExcerptLength = 50;

enum class Role { Worker, Scheduler };

// The candidate lists of each tier, standard and cost-conscious: tuples of
// the interned model keys, made once. The maps keyed by the tier members are
// built at each call from the `Complexity` in force.
struct Candidates {
    PyObject* complex;
    PyObject* moderate;
    PyObject* simple;
};
struct PreferenceTables {
    Candidates standard, cost_conscious;
    PyObject* other;  // a value that is no tier
};

const PreferenceTables* preference_tables() {
    static PreferenceTables tables{};
    static bool ready = false;
    if (ready) return &tables;
    const names::Table& n = names::get();
    PyObject* opus = n.claude_opus;
    PyObject* sonnet = n.claude_sonnet;
    PyObject* haiku = n.claude_haiku;
    PyObject* gpt = n.gpt_5_2;
    PyObject** slots[] = {&tables.standard.complex, &tables.standard.moderate, &tables.standard.simple,
                          &tables.cost_conscious.complex, &tables.cost_conscious.moderate,
                          &tables.cost_conscious.simple, &tables.other};
    PyObject* made[] = {PyTuple_Pack(3, opus, sonnet, gpt),   PyTuple_Pack(3, sonnet, haiku, gpt),
                        PyTuple_Pack(3, haiku, sonnet, gpt),  PyTuple_Pack(3, sonnet, haiku, gpt),
                        PyTuple_Pack(3, haiku, sonnet, gpt),  PyTuple_Pack(3, haiku, sonnet, gpt),
                        PyTuple_Pack(1, sonnet)};
    bool ok = true;
    for (PyObject* t : made) ok &= t != nullptr;
    if (!ok) {
        for (PyObject* t : made) Py_XDECREF(t);
        return nullptr;
    }
    for (std::size_t i = 0; i < std::size(made); ++i) *slots[i] = made[i];
    ready = true;
    return &tables;
}

// {Complexity.COMPLEX: [...], Complexity.MODERATE: [...], Complexity.SIMPLE: [...]}
Owned preference_map(Borrowed globals, const Candidates& lists) {
    const names::Table& n = names::get();
    Owned complexity = py::lookup_global(globals, n.complexity);
    if (!complexity) return {};
    Owned map = Owned::steal(PyDict_New());
    if (!map) return {};
    const std::pair<PyObject*, PyObject*> entries[] = {
        {n.complex, lists.complex}, {n.moderate, lists.moderate}, {n.simple, lists.simple}};
    for (const auto& [member_name, candidates] : entries) {
        Owned member = py::getattr(complexity, member_name);
        if (!member || PyDict_SetItem(map.get(), member.get(), candidates) < 0) return {};
    }
    return map;
}

// Records that are usable, tested through the instance.
int usable(Borrowed self, Borrowed spec) {
    Owned available = py::call_method(self, names::get().is_available, spec);
    if (!available) return -1;
    return py::truth(available);
}

enum class Enabled { Check, Skip };

// One candidate key: 1 with `spec` set when it is a catalogue key (and, if
// asked, an enabled one) whose record is usable; 0 to try the next; -1.
int try_candidate(Borrowed globals, Borrowed self, Borrowed key, Enabled enabled_test, Owned& spec) {
    const int known = router::catalogue_contains(globals, key);
    if (known <= 0) return known;
    if (enabled_test == Enabled::Check) {
        const int enabled = router::is_enabled(self, key);
        if (enabled <= 0) return enabled;
    }
    spec = router::catalogue_item(globals, key);
    if (!spec) return -1;
    return usable(self, spec);
}

bool log(Borrowed globals, PyObject* level, Owned message) {
    if (!message) return false;
    Owned logger = py::lookup_global(globals, names::get().logger);
    if (!logger) return false;
    return static_cast<bool>(py::call_method(logger, level, message));
}

Owned text_of(Borrowed value) { return Owned::steal(PyObject_Format(value.get(), names::get().empty)); }

// INFO "Worker model (<how>): <display name> for '<first 50 characters>'"
bool log_choice(Borrowed globals, Borrowed how, Borrowed spec, Borrowed description) {
    Owned name = py::getattr(spec, names::get().display_name);
    if (!name) return false;
    Owned name_text = text_of(name);
    if (!name_text) return false;
    Owned excerpt = Owned::steal(PyUnicode_Substring(description.get(), 0, kExcerptLength));
    if (!excerpt) return false;
    return log(globals, names::get().info,
               Owned::steal(PyUnicode_FromFormat("Worker model (%U): %U for '%U'", how.get(), name_text.get(),
                                                 excerpt.get())));
}

// self.get_model(key): 1 with `spec` set when it gives a record (truthy),
// after logging the choice when `logs`; 0 when it gives none; -1.
int choose(Borrowed globals, Borrowed self, Borrowed key, PyObject* how, Borrowed description, bool logs,
           Owned& spec) {
    spec = py::call_method(self, names::get().get_model, key);
    if (!spec) return -1;
    const int found = py::truth(spec);
    if (found <= 0) return found;
    if (logs && !log_choice(globals, how, spec, description)) return -1;
    return 1;
}

PyObject* select(Borrowed globals, Borrowed self, Borrowed description, Borrowed model_key, Role role) {
    const names::Table& n = names::get();
    const bool logs = role == Role::Worker;

    // 1. The caller's explicit choice: anything but None, "" and "auto".
    if (model_key.get() != Py_None && PyUnicode_GET_LENGTH(model_key.get()) != 0 &&
        PyUnicode_Compare(model_key.get(), n.auto_) != 0) {
        Owned spec;
        const int found = choose(globals, self, model_key, n.explicit_, description, logs, spec);
        if (found) return found < 0 ? nullptr : spec.release();
        if (logs && !log(globals, n.warning,
                         Owned::steal(PyUnicode_FromFormat(
                             "Requested model '%U' not available, falling back to auto",
                             model_key.get())))) {
            return nullptr;
        }
    }

    // 2. The configured default, unless it is empty or "auto".
    Owned config = py::getattr(self, n.priv_config);
    if (!config) return nullptr;
    Owned default_key =
        py::getattr(config, role == Role::Worker ? n.default_worker_model : n.default_scheduler_model);
    if (!default_key) return nullptr;
    int wanted = py::truth(default_key);
    if (wanted > 0) wanted = PyObject_RichCompareBool(default_key.get(), n.auto_, Py_NE);
    if (wanted < 0) return nullptr;
    if (wanted) {
        Owned spec;
        const int found = choose(globals, self, default_key, n.default_, description, logs, spec);
        if (found) return found < 0 ? nullptr : spec.release();
    }

    // 3. The choice by complexity tier.
    Owned classify = py::lookup_global(globals, n.classify_complexity);
    if (!classify) return nullptr;
    Owned complexity = py::call(classify, description);
    if (!complexity) return nullptr;
    Owned model = py::call_method(self, n.select_for_complexity, complexity);
    if (!model || !logs) return model.release();
    Owned tier = py::getattr(complexity, n.value);
    if (!tier) return nullptr;
    Owned tier_text = text_of(tier);
    if (!tier_text) return nullptr;
    Owned how = Owned::steal(PyUnicode_FromFormat("auto [%U]", tier_text.get()));
    if (!how || !log_choice(globals, how, model, description)) return nullptr;
    return model.release();
}

}  // namespace

PyObject* select_for_worker(Borrowed globals, Borrowed self, Borrowed description, Borrowed model_key) {
    return select(globals, self, description, model_key, Role::Worker);
}

PyObject* select_for_scheduler(Borrowed globals, Borrowed self, Borrowed description,
                               Borrowed model_key) {
    return select(globals, self, description, model_key, Role::Scheduler);
}

PyObject* select_for_complexity(Borrowed globals, Borrowed self, Borrowed complexity) {
    const names::Table& n = names::get();
    const PreferenceTables* tables = preference_tables();
    if (!tables) return nullptr;
    Owned map = preference_map(globals, tables->standard);
    if (!map) return nullptr;
    Owned config = py::getattr(self, n.priv_config);
    if (!config) return nullptr;
    Owned cost_conscious = py::getattr(config, n.cost_conscious);
    if (!cost_conscious) return nullptr;
    const int cheap = py::truth(cost_conscious);
    if (cheap < 0) return nullptr;
    if (cheap) {
        map = preference_map(globals, tables->cost_conscious);
        if (!map) return nullptr;
    }
    PyObject* listed = PyDict_GetItemWithError(map.get(), complexity.get());
    if (!listed && PyErr_Occurred()) return nullptr;
    // The tuple stays alive with `tables`; the map is only a view onto it.
    Owned candidates = Owned::take(listed ? listed : tables->other);

    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(candidates.get()); ++i) {
        Owned spec;
        const int found = try_candidate(globals, self, PyTuple_GET_ITEM(candidates.get(), i),
                                        Enabled::Check, spec);
        if (found) return found < 0 ? nullptr : spec.release();
    }
    return py::call_method(self, n.get_fallback).release();
}

PyObject* get_fallback(Borrowed globals, Borrowed self) {
    const names::Table& n = names::get();
    Owned config = py::getattr(self, n.priv_config);
    if (!config) return nullptr;
    Owned enabled = py::getattr(config, n.enabled_models);
    if (!enabled) return nullptr;
    Owned keys = Owned::steal(PyObject_GetIter(enabled.get()));
    if (!keys) return nullptr;
    while (Owned key = Owned::steal(PyIter_Next(keys.get()))) {
        Owned spec;
        const int found = try_candidate(globals, self, key, Enabled::Skip, spec);
        if (found) return found < 0 ? nullptr : spec.release();
    }
    if (PyErr_Occurred()) return nullptr;
    // The last resort, returned without a test.
    return router::catalogue_item(globals, n.claude_sonnet).release();
}

}  // namespace halvec::core::selection
