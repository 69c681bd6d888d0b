"""Worker and scheduler selection: the worked examples, edge cases and a differential property."""


import pytest
from hypothesis import given, strategies as st

from conftest import RecordingStore, router_log_lines
from reference import ReferenceRouter

D1 = "Summarise the meeting notes"
D2 = "Research the pricing pages of three hosting providers and write a recommendation"
D3 = ("Go through the attached supplier invoices and mark each one whose amount differs from the "
      "purchase order total")
E2 = "Research the pricing pages of three hosting provid"
E3 = "Go through the attached supplier invoices and mark"
WARN = "Requested model '{}' not available, falling back to auto"

KEYS = ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]

# (call, description, model_key, preferences, providers, result key, log lines)
WORKED = [
    ("worker", D1, "claude-haiku", {}, {"anthropic"}, "claude-haiku",
     [("INFO", f"Worker model (explicit): Claude Haiku for '{D1}'")]),
    ("worker", D3, "claude-opus", {"enabled_models": KEYS[1:]}, {"anthropic"}, "claude-sonnet",
     [("WARNING", WARN.format("claude-opus")), ("INFO", f"Worker model (auto [moderate]): Claude Sonnet for '{E3}'")]),
    ("worker", D2, None, {"default_worker_model": "claude-sonnet"}, {"anthropic"}, "claude-sonnet",
     [("INFO", f"Worker model (default): Claude Sonnet for '{E2}'")]),
    ("worker", D2, "gpt-5.2", {"default_worker_model": "claude-haiku"}, {"anthropic"}, "claude-haiku",
     [("WARNING", WARN.format("gpt-5.2")), ("INFO", f"Worker model (default): Claude Haiku for '{E2}'")]),
    ("worker", D2, "auto", {}, {"openai"}, "gpt-5.2",
     [("INFO", f"Worker model (auto [complex]): GPT-5.2 for '{E2}'")]),
    ("worker", D2, "auto", {"cost_conscious": True}, {"anthropic", "openai"}, "claude-sonnet",
     [("INFO", f"Worker model (auto [complex]): Claude Sonnet for '{E2}'")]),
    ("worker", D2, "auto", {"enabled_models": ["claude-haiku"]}, {"anthropic"}, "claude-haiku",
     [("INFO", f"Worker model (auto [complex]): Claude Haiku for '{E2}'")]),
    ("worker", D1, None, {}, set(), "claude-sonnet",
     [("INFO", f"Worker model (auto [simple]): Claude Sonnet for '{D1}'")]),
    ("worker", D1, "AUTO", {}, {"anthropic"}, "claude-haiku",
     [("WARNING", WARN.format("AUTO")), ("INFO", f"Worker model (auto [simple]): Claude Haiku for '{D1}'")]),
    ("scheduler", D3, "gpt-5.2", {}, {"anthropic"}, "claude-sonnet", []),
    ("scheduler", D1, None, {"default_scheduler_model": "claude-opus", "cost_conscious": True},
     {"anthropic"}, "claude-opus", []),
]


@pytest.mark.parametrize("call, description, model_key, prefs, providers, expected, lines", WORKED)
def test_worked_examples(mr, logs, call, description, model_key, prefs, providers, expected, lines):
    router = mr.ModelRouter(mr.ModelRoutingConfig(**prefs), RecordingStore(providers))
    select = router.select_for_worker if call == "worker" else router.select_for_scheduler
    assert select(description, model_key) is mr.AVAILABLE_MODELS[expected]
    assert logs() == lines


@pytest.mark.parametrize("no_choice", [(), (None,), ("",), ("auto",)])
def test_no_choice_goes_to_the_default(mr, logs, no_choice):
    router = mr.ModelRouter(mr.ModelRoutingConfig(default_worker_model="claude-opus"), RecordingStore({"anthropic"}))
    assert router.select_for_worker(D1, *no_choice).display_name == "Claude Opus"
    assert logs() == [("INFO", f"Worker model (default): Claude Opus for '{D1}'")]


def test_explicit_keys_are_passed_on_unchanged(mr, logs):
    router = mr.ModelRouter(secrets=RecordingStore({"anthropic"}))
    assert router.select_for_worker(D1, " claude-haiku").display_name == "Claude Haiku"
    assert logs()[0] == ("WARNING", WARN.format(" claude-haiku"))


@pytest.mark.parametrize("default", ["claude-opus", "gpt-5.2", "nonexistent", "", None, 0])
def test_unusable_defaults_fall_through_silently(mr, logs, default):
    cfg = mr.ModelRoutingConfig(enabled_models=["claude-haiku", "claude-sonnet", "gpt-5.2"],
                                default_worker_model=default, default_scheduler_model=default)
    router = mr.ModelRouter(cfg, RecordingStore({"anthropic"}))
    assert router.select_for_scheduler(D1).display_name == "Claude Haiku"
    assert logs() == []
    assert router.select_for_worker(D1).display_name == "Claude Haiku"
    assert logs() == [("INFO", f"Worker model (auto [simple]): Claude Haiku for '{D1}'")]


def test_non_text_default_is_refused_by_get_model(mr):
    router = mr.ModelRouter(mr.ModelRoutingConfig(default_worker_model=5), RecordingStore({"anthropic"}))
    with pytest.raises(TypeError, match=r"expected str, got int"):
        router.select_for_worker(D1)


@pytest.mark.parametrize("description, excerpt", [
    ("x" * 50, "x" * 50), ("x" * 51, "x" * 50), ("", ""), ("\u00e9\U0001F600" * 30, "\u00e9\U0001F600" * 25),
    ("it's a 'quoted'\nline", "it's a 'quoted'\nline"),
])
def test_description_excerpt(mr, logs, description, excerpt):
    router = mr.ModelRouter(secrets=RecordingStore({"anthropic"}))
    spec = router.select_for_worker(description, "claude-haiku")
    assert logs() == [("INFO", f"Worker model (explicit): {spec.display_name} for '{excerpt}'")]


def test_cost_conscious_reaches_opus_only_through_the_fallback(mr):
    cfg = mr.ModelRoutingConfig(enabled_models=["claude-opus", "gpt-5.2"], cost_conscious=True)
    assert mr.ModelRouter(cfg, RecordingStore({"anthropic"})).select_for_worker(D2).display_name == "Claude Opus"


def test_empty_enabled_list_gives_the_last_resort(mr):
    store = RecordingStore({"anthropic", "openai"})
    router = mr.ModelRouter(mr.ModelRoutingConfig(enabled_models=[]), store)
    assert router.select_for_worker(D2) is mr.AVAILABLE_MODELS["claude-sonnet"] and store.calls == []


def test_fallback_follows_the_users_order_and_skips_unknown_keys(mr):
    store = RecordingStore({"anthropic", "openai"})
    cfg = mr.ModelRoutingConfig(enabled_models=["nope", "gpt-5.2", "claude-haiku"])
    router = mr.ModelRouter(cfg, store)
    assert router._get_fallback() is mr.AVAILABLE_MODELS["gpt-5.2"] and store.calls == ["openai"]


@pytest.mark.parametrize("tier, expected", [(None, "claude-sonnet"), ("complex", "claude-opus"),
                                            ("Complex", "claude-sonnet")])
def test_select_for_complexity_with_other_values(mr, tier, expected):
    router = mr.ModelRouter(secrets=RecordingStore({"anthropic"}))
    # The tier map is an ordinary dict lookup: the plain text of a tier finds it too.
    assert router._select_for_complexity(tier) is mr.AVAILABLE_MODELS[expected]
    with pytest.raises(TypeError, match="unhashable"):
        router._select_for_complexity([])


def test_steps_go_through_the_instance(mr, logs):
    calls = []

    class Traced(mr.ModelRouter):
        def _is_available(self, spec):
            calls.append(spec.display_name)
            return spec.display_name == "GPT-5.2"

    router = Traced(secrets=RecordingStore())
    assert router.select_for_worker(D2).display_name == "GPT-5.2"
    assert calls == ["Claude Opus", "Claude Sonnet", "GPT-5.2"]
    router._select_for_complexity = lambda complexity: mr.AVAILABLE_MODELS["claude-haiku"]
    router.get_model = lambda key: None
    assert router.select_for_worker(D2, "gpt-5.2").display_name == "Claude Haiku"


def test_module_names_are_looked_up_at_each_call(mr, logs, monkeypatch):
    router = mr.ModelRouter(secrets=RecordingStore({"anthropic"}))
    monkeypatch.setattr(mr, "classify_complexity", lambda text: mr.Complexity.COMPLEX)
    assert router.select_for_worker(D1).display_name == "Claude Opus"
    seen = []
    monkeypatch.setattr(mr, "logger", type("L", (), {"info": lambda self, m: seen.append(m)})())
    router.select_for_worker(D1)
    assert seen == [f"Worker model (auto [complex]): Claude Opus for '{D1}'"] and logs() == [
        ("INFO", f"Worker model (auto [complex]): Claude Opus for '{D1}'")]


DESCRIPTIONS = [D1, D2, D3, "hi", "Check the weather for tomorrow in Lisbon please",
                " ".join(["item"] * 30), "Refactor the parser module into smaller files"]
CHOICES = [None, "", "auto", "AUTO", " claude-haiku", "unknown"] + KEYS


@st.composite
def scenarios(draw):
    enabled = draw(st.lists(st.sampled_from(KEYS + ["unknown"]), unique=True))
    prefs = dict(enabled_models=enabled, cost_conscious=draw(st.booleans()),
                 default_worker_model=draw(st.sampled_from(CHOICES)),
                 default_scheduler_model=draw(st.sampled_from(CHOICES)))
    providers = draw(st.sets(st.sampled_from(["anthropic", "openai"])))
    calls = draw(st.lists(st.tuples(st.sampled_from(["worker", "scheduler"]),
                                    st.sampled_from(DESCRIPTIONS), st.sampled_from(CHOICES)),
                          min_size=1, max_size=4))
    return prefs, providers, calls


@given(scenarios())
def test_matches_the_plain_python_model(mr, scenario):
    prefs, providers, calls = scenario
    results = []
    for router_class in (mr.ModelRouter, ReferenceRouter):
        store = RecordingStore(providers)
        router = router_class(mr.ModelRoutingConfig(**prefs), store)
        with router_log_lines() as lines:
            chosen = [getattr(router, f"select_for_{call}")(text, key) for call, text, key in calls]
            listing = router.get_available_models()
        results.append((chosen, lines, store.calls, listing))
    native, model = results
    assert [id(s) for s in native[0]] == [id(s) for s in model[0]]
    assert native[1:] == model[1:]
