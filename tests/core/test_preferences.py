"""ModelRoutingConfig: defaults, dictionary form, sharing."""

import collections
import inspect

import pytest

DEFAULT_KEYS = ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]
CONFIG_DOC = ("User-configurable model routing preferences.\n\n"
              "    Note: The coordinator_model is set separately in the main Settings\n"
              "    (ModelConfig component). This config is only for worker/scheduler defaults.\n    ")


def test_class(mr):
    C = mr.ModelRoutingConfig
    assert C.__doc__ == CONFIG_DOC and C.__bases__ == (object,)
    assert (C.__module__, C.__qualname__) == ("halvec.core.model_router", "ModelRoutingConfig")
    assert C.__annotations__ == {"enabled_models": "list[str]", "cost_conscious": "bool",
                                 "default_worker_model": "str", "default_scheduler_model": "str"}
    names = [n for n in vars(C) if n in ("cost_conscious", "default_worker_model",
                                          "default_scheduler_model", "to_dict", "from_dict")]
    assert names == ["cost_conscious", "default_worker_model", "default_scheduler_model", "to_dict",
                     "from_dict"]
    assert isinstance(vars(C)["from_dict"], classmethod)
    assert str(inspect.signature(C.to_dict)) == "(self) -> 'dict[str, Any]'"
    assert str(inspect.signature(C.from_dict)) == "(data: 'dict[str, Any]') -> 'ModelRoutingConfig'"
    assert C.to_dict.__doc__ is None and C.from_dict.__doc__ is None
    assert C.from_dict.__qualname__ == "ModelRoutingConfig.from_dict"


def test_defaults_and_factory(mr):
    a, b = mr.ModelRoutingConfig(), mr.ModelRoutingConfig()
    assert (a.enabled_models, a.cost_conscious, a.default_worker_model, a.default_scheduler_model) == (
        DEFAULT_KEYS, False, "auto", "auto")
    assert a == b and a.enabled_models is not b.enabled_models
    a.enabled_models.append("x")
    assert b.enabled_models == DEFAULT_KEYS
    factory = mr.ModelRoutingConfig.__dataclass_fields__["enabled_models"].default_factory
    assert (factory.__name__, factory.__qualname__) == ("<lambda>", "ModelRoutingConfig.<lambda>")
    assert type(factory) is type(mr.classify_complexity)
    assert factory() == DEFAULT_KEYS and factory() is not factory()
    with pytest.raises(TypeError, match=r"^<lambda>\(\) takes exactly 0 positional arguments \(1 given\)$"):
        factory(1)
    with pytest.raises(TypeError):
        hash(a)


def test_dictionary_form_shares_the_list(mr):
    c = mr.ModelRoutingConfig(enabled_models=["claude-haiku"], cost_conscious=1)
    d = c.to_dict()
    assert list(d) == ["enabled_models", "cost_conscious", "default_worker_model",
                       "default_scheduler_model"]
    assert d["enabled_models"] is c.enabled_models and d["cost_conscious"] == 1
    d["enabled_models"].append("gpt-5.2")
    assert c.enabled_models == ["claude-haiku", "gpt-5.2"]
    back = mr.ModelRoutingConfig.from_dict(d)
    assert back == c and back.enabled_models is c.enabled_models
    assert c.to_dict() is not d


def test_from_dict(mr):
    C = mr.ModelRoutingConfig
    assert C.from_dict({}) == C()
    got = C.from_dict({"cost_conscious": True, "unknown": 1, 3: 4})
    assert got == C(cost_conscious=True)
    assert C.from_dict({"default_worker_model": None}).default_worker_model is None
    assert C().from_dict({}) == C()  # also through an instance

    @mr.dataclass
    class Extended(C):
        team: str = "core"

    got = Extended.from_dict({"team": "ops", "cost_conscious": True})
    assert type(got) is Extended and (got.team, got.cost_conscious) == ("ops", True)


@pytest.mark.parametrize("data, name", [(None, "NoneType"), (collections.OrderedDict(), "collections.OrderedDict"),
                                        (collections.defaultdict(int), "collections.defaultdict"),
                                        ([("cost_conscious", True)], "list")])
def test_from_dict_takes_only_an_exact_dict(mr, data, name):
    with pytest.raises(TypeError) as info:
        mr.ModelRoutingConfig.from_dict(data)
    assert str(info.value) == f"Argument 'data' has incorrect type (expected dict, got {name})"
    assert bool(getattr(info.value, "__notes__", None)) == isinstance(data, dict)


def test_from_dict_argument_errors(mr):
    C = mr.ModelRoutingConfig
    with pytest.raises(TypeError, match=r"^from_dict\(\) takes exactly 2 positional arguments \(1 given\)$"):
        C.from_dict()
    with pytest.raises(TypeError, match=r"^from_dict\(\) takes exactly 2 positional arguments \(3 given\)$"):
        C.from_dict({}, {})
    assert C.from_dict(data={"cost_conscious": True}).cost_conscious is True
    with pytest.raises(TypeError, match=r"^to_dict\(\) takes exactly 1 positional argument \(2 given\)$"):
        C().to_dict(1)


def test_from_dict_with_a_key_that_edits_the_dict(mr):
    data = {}

    class Key:
        def __hash__(self):
            data["later"] = 1  # runs inside the field-name test
            return 1

    data[Key()] = 0
    data.pop("later")
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        mr.ModelRoutingConfig.from_dict(data)
