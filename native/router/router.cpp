#include "router/router.hpp"

#include "common/calls.hpp"
#include "common/dict_walk.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "common/text.hpp"

namespace halvec::core::router {

const char* const kDoc =
    "Helps the Coordinator select models for workers and scheduled jobs.\n"
    "\n"
    "    The Coordinator (main agent) always uses the user's chosen model.\n"
    "    This router is ONLY used for worker model selection.\n"
    "\n"
    "    Usage:\n"
    "        router = ModelRouter(config, secrets)\n"
    "\n"
    "        # Coordinator picks explicitly\n"
    "        model = router.get_model(\"claude-haiku\")\n"
    "\n"
    "        # Coordinator says \"auto\" \xE2\x80\x94 router picks based on task\n"
    "        model = router.select_for_worker(\"Research AI trends and write a summary\")\n"
    "        # \xE2\x86\x92 Claude Sonnet or Opus depending on complexity\n"
    "\n"
    "        model = router.select_for_worker(\"Fetch the headlines from HackerNews\")\n"
    "        # \xE2\x86\x92 Claude Haiku (simple task)\n"
    "    ";

namespace {

// `value or Factory()`, with Factory looked up by name.
Owned given_or_new(const py::Scope& scope, Borrowed value, PyObject* factory_name) {
    const int given = py::truth(value);
    if (given < 0) return {};
    if (given) return Owned::take(value);
    Owned factory = py::lookup_global(scope, factory_name);
    if (!factory) return {};
    return Owned::steal(PyObject_CallNoArgs(factory.get()));
}

bool set_attr(Borrowed obj, PyObject* name, Owned value) {
    return value && py::setattr(obj, name, value) == 0;
}

}  // namespace

PyObject* init(const py::Scope& scope, Borrowed self, Borrowed config, Borrowed secrets) {
    const names::Table& n = names::get();
    if (!set_attr(self, n.priv_config, given_or_new(scope, config, n.routing_config)) ||
        !set_attr(self, n.priv_secrets, given_or_new(scope, secrets, n.secrets_store)) ||
        !set_attr(self, n.priv_usage_stats, Owned::steal(PyDict_New()))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

int catalogue_contains(const py::Scope& scope, Borrowed key) {
    Owned catalogue = py::lookup_global(scope, names::get().available_models);
    if (!catalogue) return -1;
    return PySequence_Contains(catalogue.get(), key.get());
}

Owned catalogue_item(const py::Scope& scope, Borrowed key) {
    Owned catalogue = py::lookup_global(scope, names::get().available_models);
    if (!catalogue) return {};
    return Owned::steal(PyObject_GetItem(catalogue.get(), key.get()));
}

int is_enabled(Borrowed self, Borrowed key) {
    const names::Table& n = names::get();
    Owned config = py::getattr(self, n.priv_config);
    if (!config) return -1;
    Owned enabled = py::getattr(config, n.enabled_models);
    if (!enabled) return -1;
    return py::contains(enabled, key);
}

PyObject* get_model(const py::Scope& scope, Borrowed self, Borrowed model_key) {
    const int known = catalogue_contains(scope, model_key);
    if (known <= 0) return known < 0 ? nullptr : Py_NewRef(Py_None);
    Owned spec = catalogue_item(scope, model_key);
    if (!spec) return nullptr;
    Owned available = py::call_method(self, names::get().is_available, spec);
    if (!available) return nullptr;
    const int yes = py::truth(available);
    if (yes < 0) return nullptr;
    return yes ? spec.release() : Py_NewRef(Py_None);
}

namespace {

// `for key, record in AVAILABLE_MODELS.items()` until record.id == spec.id:
// 1 when found (at `key`), 0 when not, -1 with an exception set. The loop
// variables are the caller's: they hold the last entry walked until the
// caller returns, as the loop's own variables would.
int find_catalogue_key(const py::Scope& scope, Borrowed spec, Owned& key, Owned& record) {
    const names::Table& n = names::get();
    Owned catalogue = py::lookup_global(scope, n.available_models);
    if (!catalogue) return -1;
    // A comparison below may run Python code that edits the catalogue; the
    // walk then raises as the dict's own iterator would.
    py::ItemsWalk entries;
    if (!entries.start(catalogue)) return -1;
    catalogue.reset();
    int more;
    while ((more = entries.next(key, record)) > 0) {
        Owned record_id = py::getattr(record, n.id);
        if (!record_id) return -1;
        Owned spec_id = py::getattr(spec, n.id);
        if (!spec_id) return -1;
        const int same = py::equal(record_id.get(), spec_id.get());
        if (same != 0) return same;
    }
    return more;
}

}  // namespace

PyObject* is_available(const py::Scope& scope, Borrowed self, Borrowed spec) {
    const names::Table& n = names::get();
    Owned key, record;
    const int found = find_catalogue_key(scope, spec, key, record);
    if (found < 0) return nullptr;
    const Borrowed model_key = found ? key.borrow() : Borrowed{};
    if (model_key) {
        const int named = py::truth(model_key);
        if (named < 0) return nullptr;
        if (named) {
            const int enabled = is_enabled(self, model_key);
            if (enabled < 0) return nullptr;
            if (!enabled) Py_RETURN_FALSE;
        }
    }
    // self._secrets.has_key(spec.provider): the method is read before its argument.
    Owned secrets = py::getattr(self, n.priv_secrets);
    if (!secrets) return nullptr;
    Owned has_key = py::getattr(secrets, n.has_key);
    if (!has_key) return nullptr;
    Owned provider = py::getattr(spec, n.provider);
    if (!provider) return nullptr;
    return py::call(has_key, provider).release();
}

namespace {

// 1 when spec.provider == name, read afresh as the source reads it.
int provider_is(Borrowed spec, PyObject* name) {
    Owned provider = py::getattr(spec, names::get().provider);
    if (!provider) return -1;
    return py::equal(provider.get(), name);
}

PyObject* prefixed_id(Borrowed spec, PyObject* prefix) {
    const names::Table& n = names::get();
    Owned id = py::getattr(spec, n.id);
    if (!id) return nullptr;
    Owned text = py::text_of(id);
    if (!text) return nullptr;
    return PyUnicode_Concat(prefix, text.get());
}

}  // namespace

PyObject* litellm_model_string(Borrowed spec) {
    const names::Table& n = names::get();
    int match = provider_is(spec, n.anthropic);
    if (match) return match < 0 ? nullptr : prefixed_id(spec, n.anthropic_prefix);
    match = provider_is(spec, n.openai);
    if (match) return match < 0 ? nullptr : prefixed_id(spec, n.openai_prefix);
    Owned id = py::getattr(spec, n.id);
    if (!id) return nullptr;
    if (!PyUnicode_CheckExact(id.get()) && id.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(id.get())->tp_name);
        return nullptr;
    }
    return id.release();
}

}  // namespace halvec::core::router
