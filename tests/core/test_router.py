"""ModelRouter: construction, config, lookup, availability, client string, signatures."""

import inspect

import pytest

from halvec.config import SecretsStore

ROUTER_DOC_START = "Helps the Coordinator select models for workers and scheduled jobs.\n"

SIGNATURES = {
    "__init__": "(self, config: 'ModelRoutingConfig | None' = None, secrets: 'SecretsStore | None' = None)",
    "update_config": "(self, config: 'ModelRoutingConfig') -> 'None'",
    "get_model": "(self, model_key: 'str') -> 'ModelSpec | None'",
    "select_for_worker": "(self, task_description: 'str', model_key: 'str | None' = None) -> 'ModelSpec'",
    "select_for_scheduler": "(self, job_description: 'str', model_key: 'str | None' = None) -> 'ModelSpec'",
    "get_available_models": "(self) -> 'list[dict[str, Any]]'",
    "record_usage": "(self, model_key: 'str', tokens: 'int' = 0) -> 'None'",
    "get_usage_stats": "(self) -> 'dict[str, dict[str, int]]'",
    "get_litellm_model_string": "(self, spec: 'ModelSpec') -> 'str'",
    "_is_available": "(self, spec: 'ModelSpec') -> 'bool'",
    "_select_for_complexity": "(self, complexity: 'Complexity') -> 'ModelSpec'",
    "_get_fallback": "(self) -> 'ModelSpec'",
}
DOCS = {
    "get_model": "Get a specific model by key. Returns None if not available.",
    "select_for_scheduler": "Select a model for a scheduled job.",
    "get_available_models": "Return list of all models with their status and usage.",
    "record_usage": "Record usage statistics for a model.",
    "get_litellm_model_string": "Convert a ModelSpec to the litellm model string format.",
    "_is_available": "Check if a model is available (API key exists + enabled).",
    "_select_for_complexity": "Select the best available model for a given complexity tier.",
    "_get_fallback": "Get any available model as a last resort.",
}


def test_class_layout(mr):
    R = mr.ModelRouter
    assert R.__doc__.startswith(ROUTER_DOC_START) and R.__doc__.endswith("\n    ")
    assert "\u2192 Claude Haiku (simple task)" in R.__doc__ and "\u2014 router picks" in R.__doc__
    assert [n for n in vars(R) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "config", "update_config", "get_model", "select_for_worker",
        "select_for_scheduler", "get_available_models", "record_usage", "get_usage_stats",
        "get_litellm_model_string", "_is_available", "_select_for_complexity", "_get_fallback"]
    for name, signature in SIGNATURES.items():
        method = vars(R)[name]
        assert str(inspect.signature(method)) == signature, name
        assert method.__qualname__ == f"ModelRouter.{name}"
        assert method.__doc__ == DOCS.get(name, method.__doc__ if name == "select_for_worker" else None)
    assert R.__init__.__defaults__ == (None, None)
    assert R.select_for_worker.__defaults__ == (None,) and R.record_usage.__defaults__ == (0,)
    assert R.select_for_worker.__doc__.startswith("Select a model for a worker task.\n\n        Args:")
    assert R.select_for_worker.__doc__.endswith("ModelSpec for the selected model\n        ")
    prop = vars(R)["config"]
    assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
    assert str(inspect.signature(prop.fget)) == "(self) -> 'ModelRoutingConfig'"


COUNT_ERRORS = [
    ("update_config", (), "update_config() takes exactly 2 positional arguments (1 given)"),
    ("get_model", (), "get_model() takes exactly 2 positional arguments (1 given)"),
    ("get_model", (1, 2), "get_model() takes exactly 2 positional arguments (3 given)"),
    ("select_for_worker", (), "select_for_worker() takes at least 2 positional arguments (1 given)"),
    ("select_for_worker", ("a", "b", "c"), "select_for_worker() takes at most 3 positional arguments (4 given)"),
    ("select_for_scheduler", (), "select_for_scheduler() takes at least 2 positional arguments (1 given)"),
    ("record_usage", (), "record_usage() takes at least 2 positional arguments (1 given)"),
    ("get_usage_stats", (1,), "get_usage_stats() takes exactly 1 positional argument (2 given)"),
    ("get_available_models", (1,), "get_available_models() takes exactly 1 positional argument (2 given)"),
    ("_get_fallback", (1,), "_get_fallback() takes exactly 1 positional argument (2 given)"),
    ("get_litellm_model_string", (), "get_litellm_model_string() takes exactly 2 positional arguments (1 given)"),
    ("_is_available", (), "_is_available() takes exactly 2 positional arguments (1 given)"),
    ("_select_for_complexity", (), "_select_for_complexity() takes exactly 2 positional arguments (1 given)"),
    ("__init__", (1, 2, 3), "__init__() takes at most 3 positional arguments (4 given)"),
]


@pytest.mark.parametrize("name, args, message", COUNT_ERRORS)
def test_count_errors(mr, store, name, args, message):
    router = mr.ModelRouter(secrets=store())
    with pytest.raises(TypeError) as info:
        getattr(router, name)(*args)
    assert str(info.value) == message
    assert info.traceback[-1].name == f"halvec.core.model_router.ModelRouter.{name}"


def test_config_getter_and_unbound_calls(mr):
    with pytest.raises(TypeError, match=r"^config\(\) takes exactly 1 positional argument \(0 given\)$"):
        mr.ModelRouter.config.fget()
    with pytest.raises(TypeError, match=r"^get_model\(\) takes exactly 2 positional arguments \(0 given\)$"):
        mr.ModelRouter.get_model(model_key="x")
    with pytest.raises(TypeError, match=r"^select_for_worker\(\) takes at least 2 positional arguments \(1 given\)$"):
        mr.ModelRouter().select_for_worker(model_key="x")


TYPE_ERRORS = [
    ("get_model", (None,), "Argument 'model_key' has incorrect type (expected str, got NoneType)"),
    ("get_model", ("COMPLEXITY",), None),
    ("select_for_worker", (None,), "Argument 'task_description' has incorrect type (expected str, got NoneType)"),
    ("select_for_worker", ("x", 5), "Argument 'model_key' has incorrect type (expected str, got int)"),
    ("select_for_scheduler", (b"x",), "Argument 'job_description' has incorrect type (expected str, got bytes)"),
    ("record_usage", ("claude-haiku", "10"), "Argument 'tokens' has incorrect type (expected int, got str)"),
    ("record_usage", (None, "10"), "Argument 'tokens' has incorrect type (expected int, got str)"),
    ("record_usage", (None, 1), "Argument 'model_key' has incorrect type (expected str, got NoneType)"),
]


@pytest.mark.parametrize("name, args, message", [t for t in TYPE_ERRORS if t[2]])
def test_type_errors_come_before_any_work(mr, store, logs, name, args, message):
    secrets = store({"anthropic"})
    router = mr.ModelRouter(secrets=secrets)
    with pytest.raises(TypeError) as info:
        getattr(router, name)(*args)
    assert str(info.value) == message
    assert secrets.calls == [] and logs() == [] and router.get_usage_stats() == {}


def test_subclass_of_str_is_refused_with_a_note(mr, store):
    router = mr.ModelRouter(secrets=store({"anthropic"}))
    with pytest.raises(TypeError) as info:
        router.get_model(mr.Complexity.SIMPLE)
    assert str(info.value) == "Argument 'model_key' has incorrect type (expected str, got Complexity)"
    assert len(info.value.__notes__) == 1


def test_construction(mr, store):
    router = mr.ModelRouter()
    assert router._config == mr.ModelRoutingConfig() and type(router._secrets) is SecretsStore
    assert router._usage_stats == {} and list(vars(router)) == ["_config", "_secrets", "_usage_stats"]
    cfg, secrets = mr.ModelRoutingConfig(), store()
    router = mr.ModelRouter(cfg, secrets)
    assert router.config is cfg and router._secrets is secrets
    router = mr.ModelRouter(secrets=secrets, config=cfg)
    assert router.config is cfg

    class EmptyStore(dict):  # false by its length: replaced by a new store
        def has_key(self, provider):
            return True
    router = mr.ModelRouter(0, EmptyStore())
    assert type(router._secrets) is SecretsStore and router.config == mr.ModelRoutingConfig()
    assert mr.ModelRouter.__init__(router) is None


def test_config_property_and_update(mr):
    router, other = mr.ModelRouter(), mr.ModelRoutingConfig(cost_conscious=True)
    original = router.config
    with pytest.raises(AttributeError):
        router.config = other
    assert router.config is original
    assert router.update_config(other) is None and router.config is other
    router.update_config(config="anything")  # not checked
    assert router._config == "anything"


def test_get_model_and_availability(mr, store):
    anthropic = store({"anthropic"})
    router = mr.ModelRouter(secrets=anthropic)
    assert router.get_model("claude-haiku") is mr.AVAILABLE_MODELS["claude-haiku"]
    assert anthropic.calls == ["anthropic"]
    assert router.get_model("gpt-5.2") is None and anthropic.calls[-1] == "openai"
    anthropic.calls.clear()
    assert router.get_model("unknown") is None and router.get_model("") is None
    assert anthropic.calls == []
    router.config.enabled_models.remove("claude-haiku")
    assert router.get_model("claude-haiku") is None and anthropic.calls == []
    router.config.enabled_models.append("claude-haiku")  # enabled in place: seen at once
    assert router.get_model("claude-haiku") is not None
    anthropic.providers.add("openai")
    assert router.get_model(model_key="gpt-5.2") is mr.AVAILABLE_MODELS["gpt-5.2"]


def test_is_available_maps_records_by_id(mr, store):
    S, C = mr.ModelSpec, mr.Complexity
    secrets = store({"anthropic"})
    router = mr.ModelRouter(mr.ModelRoutingConfig(enabled_models=[]), secrets)
    # A copy of a catalogue record counts as that model: disabled here.
    assert router._is_available(S("claude-haiku-4-5", "anthropic", "H", C.SIMPLE)) is False
    assert secrets.calls == []
    # An id outside the catalogue skips the enabled test.
    assert router._is_available(S("other", "anthropic", "O", C.SIMPLE)) is True
    assert router._is_available(spec=S("other", "openai", "O", C.SIMPLE)) is False
    assert secrets.calls == ["anthropic", "openai"]
    # The store's answer comes back unchanged.
    assert mr.ModelRouter(secrets=store(answer=1))._is_available(mr.AVAILABLE_MODELS["gpt-5.2"]) == 1
    broken = mr.ModelRouter(mr.ModelRoutingConfig(enabled_models=None), store())
    with pytest.raises(TypeError):
        broken._is_available(mr.AVAILABLE_MODELS["claude-opus"])
    assert broken._is_available(S("other", "x", "O", C.SIMPLE)) is False
    with pytest.raises(AttributeError):
        router._is_available(object())


def test_litellm_model_string(mr):
    router, S, C = mr.ModelRouter(), mr.ModelSpec, mr.Complexity
    assert [router.get_litellm_model_string(s) for s in mr.AVAILABLE_MODELS.values()] == [
        "anthropic/claude-opus-4-6", "anthropic/claude-sonnet-4-6", "anthropic/claude-haiku-4-5",
        "openai/gpt-5.2"]
    assert router.get_litellm_model_string(S("m", "Anthropic", "M", C.SIMPLE)) == "m"
    assert router.get_litellm_model_string(S(5, "anthropic", "M", C.SIMPLE)) == "anthropic/5"
    assert router.get_litellm_model_string(S(None, "local", "M", C.SIMPLE)) is None
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        router.get_litellm_model_string(S(5, "local", "M", C.SIMPLE))
