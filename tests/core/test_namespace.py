"""What the module's namespace holds after import, and its classes."""

import builtins
import dataclasses
import enum
import logging
import re
import typing

import pytest

import halvec.config

MODULE_DOC = """\
Model Router \u2014 Coordinator-centric model selection for workers.

Architecture:
  - The COORDINATOR (main agent) always uses the model chosen by the user
    in Settings. This never changes automatically.
  - When the Coordinator spawns WORKERS, it decides which model each worker
    should use based on the task it's delegating.
  - The Coordinator can either:
    (a) Explicitly pick a model: worker(model_key="claude-haiku", ...)
    (b) Let the router auto-select: worker(model_key="auto", ...)

Available models:
  - Claude Opus:   Complex reasoning, multi-step planning, deep analysis
  - Claude Sonnet: Balanced \u2014 good for most tasks
  - Claude Haiku:  Fast & cheap \u2014 summaries, lookups, simple tasks
  - GPT-5.2:       OpenAI alternative for complex tasks
"""

DEFINED = ["logging", "re", "dataclass", "field", "Enum", "Any", "SecretsStore", "logger",
           "Complexity", "ModelSpec", "AVAILABLE_MODELS", "_COMPLEX_PATTERNS", "_SIMPLE_PATTERNS",
           "classify_complexity", "ModelRoutingConfig", "ModelRouter"]


def test_namespace_holds_the_defined_names_in_import_order(mr, python):
    # A fresh interpreter: other tests rebind names, which moves them to the end.
    out = python("""
        import halvec.core.model_router as m
        print(*vars(m))
    """)
    import_attributes = {"__name__", "__doc__", "__file__", "__loader__", "__package__", "__spec__",
                         "__builtins__"}  # the last one is added by dataclass's generated code
    assert [n for n in out.split() if n not in import_attributes] == DEFINED
    assert not hasattr(mr, "__all__")
    assert mr.__doc__ == MODULE_DOC
    assert mr.__name__ == "halvec.core.model_router"
    assert mr.__package__ == "halvec.core"


def test_imported_names_are_the_interpreters_own(mr):
    assert mr.logging is logging and mr.re is re
    assert mr.dataclass is dataclasses.dataclass and mr.field is dataclasses.field
    assert mr.Enum is enum.Enum and mr.Any is typing.Any
    assert mr.SecretsStore is halvec.config.SecretsStore


def test_logger(mr):
    assert mr.logger is logging.getLogger("halvec.model_router")
    assert mr.logger.handlers == [] and mr.logger.level == logging.NOTSET and mr.logger.propagate


def test_complexity_is_a_string_enumeration(mr):
    C = mr.Complexity
    assert C.__bases__ == (str, enum.Enum) and type(C) is enum.EnumType
    assert (C.__module__, C.__qualname__) == ("halvec.core.model_router", "Complexity")
    assert list(C) == [C.SIMPLE, C.MODERATE, C.COMPLEX]
    assert [m.value for m in C] == ["simple", "moderate", "complex"]
    assert C.COMPLEX == "complex" and C("simple") is C.SIMPLE and isinstance(C.MODERATE, str)
    assert {C.SIMPLE: 1}["simple"] == 1
    assert C.__doc__ is None or "simple" not in (C.__doc__ or "")  # no docstring of its own


def test_model_spec_is_a_plain_dataclass(mr):
    S = mr.ModelSpec
    assert S.__doc__ == "Specification for a single model."
    assert (S.__module__, S.__qualname__, S.__bases__) == ("halvec.core.model_router", "ModelSpec",
                                                           (object,))
    assert S.__annotations__ == {
        "id": "str", "provider": "str", "display_name": "str", "complexity_tier": "Complexity",
        "description": "str", "max_tokens": "int", "supports_tools": "bool",
        "supports_vision": "bool", "cost_per_1k_input": "float", "cost_per_1k_output": "float"}
    params = S.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.frozen) == (
        True, True, True, False, False)
    spec = S("x", "anthropic", "X", mr.Complexity.SIMPLE)
    assert (spec.description, spec.max_tokens, spec.supports_tools, spec.supports_vision,
            spec.cost_per_1k_input, spec.cost_per_1k_output) == ("", 4096, True, True, 0.0, 0.0)
    assert spec == S("x", "anthropic", "X", mr.Complexity.SIMPLE)
    with pytest.raises(TypeError):
        hash(spec)
    assert repr(spec).startswith("ModelSpec(id='x', provider='anthropic', display_name='X', ")
    spec.id = 5  # mutable, nothing checked
    assert spec.id == 5


CATALOGUE = [
    ("claude-opus", "claude-opus-4-6", "anthropic", "Claude Opus", "COMPLEX", 0.015, 0.075,
     "Most intelligent. Best for complex reasoning, architecture, deep analysis, long-form writing."),
    ("claude-sonnet", "claude-sonnet-4-6", "anthropic", "Claude Sonnet", "MODERATE", 0.003, 0.015,
     "Balanced intelligence and speed. Good for most tasks."),
    ("claude-haiku", "claude-haiku-4-5", "anthropic", "Claude Haiku", "SIMPLE", 0.00025, 0.00125,
     "Fastest and cheapest. Great for summaries, lookups, classification, simple tasks."),
    ("gpt-5.2", "gpt-5.2", "openai", "GPT-5.2", "COMPLEX", 0.005, 0.015,
     "OpenAI's most capable model. Alternative for complex tasks."),
]


def test_catalogue(mr):
    assert type(mr.AVAILABLE_MODELS) is dict
    assert list(mr.AVAILABLE_MODELS) == [row[0] for row in CATALOGUE]
    for key, id_, provider, name, tier, cost_in, cost_out, description in CATALOGUE:
        spec = mr.AVAILABLE_MODELS[key]
        assert type(spec) is mr.ModelSpec
        assert spec == mr.ModelSpec(id=id_, provider=provider, display_name=name,
                                    complexity_tier=mr.Complexity[tier], description=description,
                                    max_tokens=4096, supports_tools=True, supports_vision=True,
                                    cost_per_1k_input=cost_in, cost_per_1k_output=cost_out)
        assert spec.complexity_tier is mr.Complexity[tier]
        assert type(spec.max_tokens) is int and type(spec.cost_per_1k_input) is float


def test_builtins_are_those_of_the_functions_creation(mr, catalogue, patterns, store):
    # A Python function keeps the built-ins it was made with: a later
    # `__builtins__` in the namespace is not where its missing names are
    # looked for.
    import reference
    for ns, router in ((mr, mr.ModelRouter(None, store(["openai"]))),
                       (reference, reference.ReferenceRouter(None, store(["openai"])))):
        saved = vars(ns)["__builtins__"], ns.AVAILABLE_MODELS, ns._COMPLEX_PATTERNS
        classify = mr.classify_complexity if ns is mr else reference.classify_complexity
        try:
            del ns.AVAILABLE_MODELS, ns._COMPLEX_PATTERNS
            ns.__builtins__ = {"AVAILABLE_MODELS": saved[1], "_COMPLEX_PATTERNS": saved[2]}
            with pytest.raises(NameError, match="^name 'AVAILABLE_MODELS' is not defined$"):
                router.get_model("gpt-5.2")
            with pytest.raises(NameError, match="^name '_COMPLEX_PATTERNS' is not defined$"):
                classify("a text long enough to reach the pattern lists")
        finally:
            ns.__builtins__, ns.AVAILABLE_MODELS, ns._COMPLEX_PATTERNS = saved
    assert mr.classify_complexity.__builtins__ is vars(builtins)
