#include "router/selection.hpp"

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "common/text.hpp"
#include "router/router.hpp"

namespace halvec::core::selection {
namespace {

constexpr Py_ssize_t kExcerptLength = 50;

enum class Role { Worker, Scheduler };

// The candidate lists, as keys of the names table. The map that the
// selection looks a tier up in is built at each call from the `Complexity`
// in force, as the lists' indices: small ints, which the interpreter keeps
// for the whole process.
using Key = PyObject* names::Table::*;
struct CandidateList {
    Key keys[3];
    std::size_t size;
};
constexpr CandidateList kCandidates[] = {
    {{&names::Table::claude_opus, &names::Table::claude_sonnet, &names::Table::gpt_5_2}, 3},
    {{&names::Table::claude_sonnet, &names::Table::claude_haiku, &names::Table::gpt_5_2}, 3},
    {{&names::Table::claude_haiku, &names::Table::claude_sonnet, &names::Table::gpt_5_2}, 3},
    {{&names::Table::claude_sonnet}, 1},  // a value that is no tier
};
constexpr long kOther = 3;

// The index in kCandidates of each tier's list: COMPLEX, MODERATE, SIMPLE.
struct Preferences {
    long complex, moderate, simple;
};
constexpr Preferences kStandard{0, 1, 2};
constexpr Preferences kCostConscious{1, 2, 2};

// {Complexity.COMPLEX: ..., Complexity.MODERATE: ..., Complexity.SIMPLE: ...}
Owned preference_map(const py::Scope& scope, const Preferences& lists) {
    const names::Table& n = names::get();
    Owned complexity = py::lookup_global(scope, n.complexity);
    if (!complexity) return {};
    Owned map = Owned::steal(PyDict_New());
    if (!map) return {};
    const std::pair<PyObject*, long> entries[] = {
        {n.complex, lists.complex}, {n.moderate, lists.moderate}, {n.simple, lists.simple}};
    for (const auto& [member_name, index] : entries) {
        Owned member = py::getattr(complexity, member_name);
        Owned list = Owned::steal(PyLong_FromLong(index));
        if (!member || !list || PyDict_SetItem(map.get(), member.get(), list.get()) < 0) return {};
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
int try_candidate(const py::Scope& scope, Borrowed self, Borrowed key, Enabled enabled_test, Owned& spec) {
    const int known = router::catalogue_contains(scope, key);
    if (known <= 0) return known;
    if (enabled_test == Enabled::Check) {
        const int enabled = router::is_enabled(self, key);
        if (enabled <= 0) return enabled;
    }
    spec = router::catalogue_item(scope, key);
    if (!spec) return -1;
    return usable(self, spec);
}

// logger.<level>(<message>) as the source writes it: the logger and its
// method are read first, then the message is built (which may run code, in
// a value's __format__), then the call.
template <class Message>
bool log(const py::Scope& scope, PyObject* level, Message&& message) {
    Owned logger = py::lookup_global(scope, names::get().logger);
    if (!logger) return false;
    Owned method = py::getattr(logger, level);
    if (!method) return false;
    Owned text = message();
    return text && py::call(method, text);
}

// INFO "Worker model (<how>): <display name> for '<first 50 characters>'",
// where <how> is "explicit", "default" or "auto [<tier>]" (the tier read
// from `complexity`).
bool log_choice(const py::Scope& scope, const char* how, Borrowed complexity, Borrowed spec, Borrowed description) {
    const names::Table& n = names::get();
    return log(scope, n.info, [&]() -> Owned {
        Owned tier_text;
        if (complexity) {
            Owned tier = py::getattr(complexity, n.value);
            if (!tier) return {};
            tier_text = py::text_of(tier);
            if (!tier_text) return {};
        }
        Owned name = py::getattr(spec, n.display_name);
        if (!name) return {};
        Owned name_text = py::text_of(name);
        if (!name_text) return {};
        const py::TextPart name_part = py::text(name_text.get());
        const py::TextPart excerpt = py::prefix(description.get(), kExcerptLength);
        return tier_text ? py::join({py::literal("Worker model (auto ["), py::text(tier_text.get()),
                                     py::literal("]): "), name_part, py::literal(" for '"), excerpt,
                                     py::literal("'")})
                         : py::join({py::literal("Worker model ("), py::ascii(how), py::literal("): "), name_part,
                                     py::literal(" for '"), excerpt, py::literal("'")});
    });
}

// self.get_model(key): 1 with `spec` set when it gives a record (truthy),
// after logging the choice when `logs`; 0 when it gives none; -1.
int choose(const py::Scope& scope, Borrowed self, Borrowed key, const char* how, Borrowed description, bool logs,
           Owned& spec) {
    spec = py::call_method(self, names::get().get_model, key);
    if (!spec) return -1;
    const int found = py::truth(spec);
    if (found <= 0) return found;
    if (logs && !log_choice(scope, how, {}, spec, description)) return -1;
    return 1;
}

PyObject* select(const py::Scope& scope, Borrowed self, Borrowed description, Borrowed model_key, Role role) {
    const names::Table& n = names::get();
    const bool logs = role == Role::Worker;

    // 1. The caller's explicit choice: anything but None, "" and "auto".
    if (model_key.get() != Py_None && PyUnicode_GET_LENGTH(model_key.get()) != 0 &&
        PyUnicode_Compare(model_key.get(), n.auto_) != 0) {
        Owned spec;
        const int found = choose(scope, self, model_key, "explicit", description, logs, spec);
        if (found) return found < 0 ? nullptr : spec.release();
        if (logs && !log(scope, n.warning, [&] {
                return py::join({py::literal("Requested model '"), py::text(model_key.get()),
                                 py::literal("' not available, falling back to auto")});
            })) {
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
    if (wanted > 0) {
        // default_key != "auto": its own __ne__ unless it is an exact str.
        wanted = PyUnicode_CheckExact(default_key.get())
                     ? !py::str_equal(default_key.get(), n.auto_)
                     : PyObject_RichCompareBool(default_key.get(), n.auto_, Py_NE);
    }
    if (wanted < 0) return nullptr;
    if (wanted) {
        Owned spec;
        const int found = choose(scope, self, default_key, "default", description, logs, spec);
        if (found) return found < 0 ? nullptr : spec.release();
    }

    // 3. The choice by complexity tier.
    Owned classify = py::lookup_global(scope, n.classify_complexity);
    if (!classify) return nullptr;
    Owned complexity = py::call(classify, description);
    if (!complexity) return nullptr;
    Owned model = py::call_method(self, n.select_for_complexity, complexity);
    if (!model || !logs) return model.release();
    if (!log_choice(scope, nullptr, complexity, model, description)) return nullptr;
    return model.release();
}

}  // namespace

PyObject* select_for_worker(const py::Scope& scope, Borrowed self, Borrowed description, Borrowed model_key) {
    return select(scope, self, description, model_key, Role::Worker);
}

PyObject* select_for_scheduler(const py::Scope& scope, Borrowed self, Borrowed description,
                               Borrowed model_key) {
    return select(scope, self, description, model_key, Role::Scheduler);
}

PyObject* select_for_complexity(const py::Scope& scope, Borrowed self, Borrowed complexity) {
    const names::Table& n = names::get();
    Owned map = preference_map(scope, kStandard);
    if (!map) return nullptr;
    Owned config = py::getattr(self, n.priv_config);
    if (!config) return nullptr;
    Owned cost_conscious = py::getattr(config, n.cost_conscious);
    if (!cost_conscious) return nullptr;
    const int cheap = py::truth(cost_conscious);
    if (cheap < 0) return nullptr;
    if (cheap) {
        map = preference_map(scope, kCostConscious);
        if (!map) return nullptr;
    }
    PyObject* listed = PyDict_GetItemWithError(map.get(), complexity.get());
    if (!listed && PyErr_Occurred()) return nullptr;
    long index = kOther;
    if (listed) {
        // The map's values are our own small ints, unless code run by the
        // lookup has reached into the map and replaced one.
        index = PyLong_CheckExact(listed) ? PyLong_AsLong(listed) : -1;
        if (index == -1 && PyErr_Occurred()) return nullptr;
        if (index < 0 || index >= kOther) {
            PyErr_SetString(PyExc_RuntimeError, "the preference map changed during the lookup");
            return nullptr;
        }
    }
    const CandidateList& candidates = kCandidates[index];

    for (std::size_t i = 0; i < candidates.size; ++i) {
        Owned spec;
        const int found = try_candidate(scope, self, n.*candidates.keys[i], Enabled::Check, spec);
        if (found) return found < 0 ? nullptr : spec.release();
    }
    return py::call_method(self, n.get_fallback).release();
}

PyObject* get_fallback(const py::Scope& scope, Borrowed self) {
    const names::Table& n = names::get();
    // As `for key in self._config.enabled_models:` holds them: only the
    // iterator, while it runs; the loop variables `key` and `spec` until
    // the next ones are in, or until the result is made.
    Owned key, spec, keys;
    {
        Owned config = py::getattr(self, n.priv_config);
        if (!config) return nullptr;
        Owned enabled = py::getattr(config, n.enabled_models);
        if (!enabled) return nullptr;
        config.reset();
        keys = Owned::steal(PyObject_GetIter(enabled.get()));
        if (!keys) return nullptr;
    }
    while (Owned next = Owned::steal(PyIter_Next(keys.get()))) {
        key = std::move(next);
        const int found = try_candidate(scope, self, key, Enabled::Skip, spec);
        if (found) return found < 0 ? nullptr : Py_NewRef(spec.get());
    }
    if (PyErr_Occurred()) return nullptr;
    keys.reset();
    // The last resort, returned without a test.
    return router::catalogue_item(scope, n.claude_sonnet).release();
}

}  // namespace halvec::core::selection
