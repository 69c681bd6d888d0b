"""explain_selection on a FittedModelRouter with a router of many models: the choice among the
models not passed over, the models passed over and why, the chosen model's catalogue tier, and
the router left as it was."""

import json

from halvec.explain import explain_selection
from halvec.fitted import ChoiceExplanation, FittedModelRouter, FittedRouter
from halvec.fitted.router_file import parse

from conftest import RecordingStore, router_log_lines
from test_model_router_v2 import KEYS, document


def _router(mr, providers, enabled=None, **changes):
    config = mr.ModelRoutingConfig() if enabled is None else mr.ModelRoutingConfig(enabled_models=enabled)
    return FittedModelRouter(FittedRouter(parse(json.dumps(document(**changes)))), config, RecordingStore(providers))


def test_the_choice_is_explained_among_the_models_not_passed_over(mr):
    router = _router(mr, ("anthropic",), ["claude-sonnet", "claude-haiku", "gpt-5.2"])
    with router_log_lines() as lines:
        why = explain_selection(router, "prove it")
    assert lines == [("INFO", "Worker model (auto [simple]): Claude Haiku for 'prove it'")]  # the call's own
    assert why.key == "claude-haiku" and why.decided_by == "auto" and why.among_models
    assert why.tier == mr.Complexity.SIMPLE and why.complexity is None
    assert [(p.key, p.stage, p.reason) for p in why.passed_over] == [
        ("claude-opus", "auto", "not enabled"), ("gpt-5.2", "auto", "no key for its provider")]
    assert isinstance(why.fitted, ChoiceExplanation) and why.fitted.chosen == "small"
    assert [f.usable for f in why.fitted.models] == [False, False, True] and why.fitted.runner_up is None
    assert router._secrets.calls == ["openai", "anthropic"]  # the call's questions, none more
    assert "_select_for_models" not in vars(router) and "_is_available" not in vars(router)


def test_the_runner_up_and_the_separating_ngrams(mr):
    why = explain_selection(_router(mr, ("anthropic", "openai")), "prove it")
    assert (why.key, why.tier, why.fitted.chosen, why.fitted.runner_up) == (
        "claude-opus", mr.Complexity.COMPLEX, "big", "mid")
    assert why.passed_over == () and why.fitted.separating[0].ngram == "prove"
    assert why.fitted.lead > 0


def test_models_unmapped_or_unusable_then_the_fallback(mr):
    router = _router(mr, ("anthropic",), ["gpt-5.2", "claude-sonnet"],
                     catalogue={"big": "claude-opus", "mid": "gpt-5.2"})
    why = explain_selection(router, "prove it")
    assert (why.key, why.decided_by, why.fitted, why.among_models) == ("claude-sonnet", "fallback", None, True)
    assert why.tier == mr.Complexity.MODERATE  # the model it gave
    assert [(p.key, p.stage, p.reason) for p in why.passed_over] == [
        ("small", "auto", "not a catalogue key"), ("claude-opus", "auto", "not enabled"),
        ("gpt-5.2", "auto", "no key for its provider"), ("gpt-5.2", "fallback", "no key for its provider")]


def test_explicit_and_default_stages_are_explained_as_the_routers(mr):
    router = _router(mr, ("anthropic",))
    why = explain_selection(router, "prove it", "claude-haiku")
    assert (why.key, why.decided_by, why.among_models, why.fitted, why.tier) == (
        "claude-haiku", "explicit", False, None, None)
    scheduled = explain_selection(router, "list", "gpt-5.2", scheduler=True)
    assert scheduled.key == "claude-haiku" and scheduled.passed_over[0].reason == "no key for its provider"
    assert set(KEYS.values()) <= set(mr.AVAILABLE_MODELS)
