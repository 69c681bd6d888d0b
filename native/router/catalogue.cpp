#include "router/catalogue.hpp"

#include <array>

#include "common/python.hpp"
#include "common/records.hpp"

namespace halvec::core {
namespace {

struct Tier {
    const char* member;
    const char* value;
};
constexpr std::array<Tier, 3> kTiers{{
    {"SIMPLE", "simple"},
    {"MODERATE", "moderate"},
    {"COMPLEX", "complex"},
}};

const py::FieldSpec kModelSpecFields[] = {
    {"id", "str", nullptr},
    {"provider", "str", nullptr},
    {"display_name", "str", nullptr},
    {"complexity_tier", "Complexity", nullptr},
    {"description", "str", [](const py::Scope&, Borrowed) { return py::str(""); }},
    {"max_tokens", "int", [](const py::Scope&, Borrowed) { return Owned::steal(PyLong_FromLong(4096)); }},
    {"supports_tools", "bool", [](const py::Scope&, Borrowed) { return Owned::take(Py_True); }},
    {"supports_vision", "bool", [](const py::Scope&, Borrowed) { return Owned::take(Py_True); }},
    {"cost_per_1k_input", "float", [](const py::Scope&, Borrowed) { return Owned::steal(PyFloat_FromDouble(0.0)); }},
    {"cost_per_1k_output", "float", [](const py::Scope&, Borrowed) { return Owned::steal(PyFloat_FromDouble(0.0)); }},
};

struct Model {
    const char* key;
    const char* id;
    const char* provider;
    const char* display_name;
    const char* tier_member;
    const char* description;
    long max_tokens;
    double cost_per_1k_input;
    double cost_per_1k_output;
};

// The order is part of the contract: listings follow it, and a record maps
// back to the first key with its id.
const Model kModels[] = {
    {"claude-opus", "claude-opus-4-6", "anthropic", "Claude Opus", "COMPLEX",
     "Most intelligent. Best for complex reasoning, architecture, deep analysis, long-form writing.",
     4096, 0.015, 0.075},
    {"claude-sonnet", "claude-sonnet-4-6", "anthropic", "Claude Sonnet", "MODERATE",
     "Balanced intelligence and speed. Good for most tasks.", 4096, 0.003, 0.015},
    {"claude-haiku", "claude-haiku-4-5", "anthropic", "Claude Haiku", "SIMPLE",
     "Fastest and cheapest. Great for summaries, lookups, classification, simple tasks.", 4096,
     0.00025, 0.00125},
    {"gpt-5.2", "gpt-5.2", "openai", "GPT-5.2", "COMPLEX",
     "OpenAI's most capable model. Alternative for complex tasks.", 4096, 0.005, 0.015},
};

// class Complexity(str, Enum): SIMPLE = "simple"; ...
Owned make_complexity(const py::Scope& scope) {
    Owned str_type = py::lookup_global(scope, "str");
    Owned enum_type = py::lookup_global(scope, "Enum");
    if (!str_type || !enum_type) return {};
    Owned bases = Owned::steal(PyTuple_Pack(2, str_type.get(), enum_type.get()));
    if (!bases) return {};
    return py::make_class("Complexity", bases, [](Borrowed ns) {
        for (const Tier& tier : kTiers) {
            Owned value = py::str(tier.value);
            if (!value || PyMapping_SetItemString(ns.get(), tier.member, value.get()) < 0) return false;
        }
        return true;
    });
}

bool set_item(Borrowed dict, const char* key, Owned value) {
    return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
}

// ModelSpec(id=..., provider=..., ...), by keyword as the source writes it.
Owned make_model(const py::Scope& scope, const Model& m) {
    Owned model_spec = py::lookup_global(scope, "ModelSpec");
    Owned complexity = py::lookup_global(scope, "Complexity");
    if (!model_spec || !complexity) return {};
    Owned kwargs = Owned::steal(PyDict_New());
    if (!kwargs) return {};
    const bool filled =
        set_item(kwargs, "id", py::str(m.id)) && set_item(kwargs, "provider", py::str(m.provider)) &&
        set_item(kwargs, "display_name", py::str(m.display_name)) &&
        set_item(kwargs, "complexity_tier",
                 Owned::steal(PyObject_GetAttrString(complexity.get(), m.tier_member))) &&
        set_item(kwargs, "description", py::str(m.description)) &&
        set_item(kwargs, "max_tokens", Owned::steal(PyLong_FromLong(m.max_tokens))) &&
        set_item(kwargs, "cost_per_1k_input", Owned::steal(PyFloat_FromDouble(m.cost_per_1k_input))) &&
        set_item(kwargs, "cost_per_1k_output", Owned::steal(PyFloat_FromDouble(m.cost_per_1k_output)));
    if (!filled) return {};
    return py::call_with_kwargs(model_spec, kwargs);
}

Owned make_catalogue(const py::Scope& scope) {
    Owned catalogue = Owned::steal(PyDict_New());
    if (!catalogue) return {};
    for (const Model& m : kModels) {
        if (!set_item(catalogue, m.key, make_model(scope, m))) return {};
    }
    return catalogue;
}

}  // namespace

bool define_catalogue(const py::Scope& scope) {
    return py::set_global(scope, "Complexity", make_complexity(scope)) &&
           py::set_global(scope, "ModelSpec",
                          py::make_dataclass(scope, "ModelSpec", "Specification for a single model.",
                                             kModelSpecFields)) &&
           py::set_global(scope, "AVAILABLE_MODELS", make_catalogue(scope));
}

}  // namespace halvec::core
