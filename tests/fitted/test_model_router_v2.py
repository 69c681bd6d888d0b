"""A FittedModelRouter with a router of many models (version 2): the usable model with the best
predicted result less the price term, a model that is not usable passed over for the next best,
the router's own fallback when none is, its stages and log lines with the chosen model's
catalogue tier, models an application adds to the catalogue, and a mapping to a key the
catalogue does not hold."""

import json
from itertools import chain, combinations

import pytest
from hypothesis import given, strategies as st

from halvec.fitted import FittedModelRouter, FittedRouter, RouterFileError, load_router
from halvec.fitted.router_file import parse

from conftest import RecordingStore, router_log_lines

MODELS = ["big", "mid", "small"]
KEYS = {"big": "claude-opus", "mid": "gpt-5.2", "small": "claude-haiku"}


def document(**changes):
    # "prove": big well ahead of mid, mid of small; "list": the same results, so the cheapest
    doc = {"format": "halvec fitted router", "version": 2, "name": "three", "longest_ngram": 2, "models": MODELS,
           "catalogue": KEYS, "intercepts": [0.5, 0.5, 0.5],
           "counts": {"words": {"weights": [0.0, 0.0, 0.0], "mean": 0.0, "scale": 1.0},
                      "characters": {"weights": [0.0, 0.0, 0.0], "mean": 0.0, "scale": 1.0}},
           "prices": {"per_prompt": [0.01, 0.005, 0.001], "source": "prices file"},
           "tradeoff": {"lambda": 1.0, "chosen_by": "tradeoff"},
           "ngrams": [["prove", 1.0, [0.9, 0.5, 0.0]], ["list", 1.0, [0.1, 0.1, 0.1]],
                      ["mid", 1.0, [0.0, 0.3, 0.0]]]}
    doc.update(changes)
    return doc


@pytest.fixture(scope="module")
def fitted():
    return FittedRouter(parse(json.dumps(document())))


def _router(mr, fitted, providers=("anthropic", "openai"), **preferences):
    return FittedModelRouter(fitted, mr.ModelRoutingConfig(**preferences), RecordingStore(providers))


def test_the_best_usable_model_is_chosen_and_logged_with_its_catalogue_tier(mr, fitted):
    router = _router(mr, fitted)
    with router_log_lines() as lines:
        assert router.select_for_worker("prove it").display_name == "Claude Opus"
        assert router.select_for_worker("list the files", "auto").display_name == "Claude Haiku"
        assert router.select_for_scheduler("mid way") is mr.AVAILABLE_MODELS["gpt-5.2"]
    assert lines == [("INFO", "Worker model (auto [complex]): Claude Opus for 'prove it'"),
                     ("INFO", "Worker model (auto [simple]): Claude Haiku for 'list the files'")]
    router.record_usage("claude-opus", 12)
    assert router.get_usage_stats() == {"claude-opus": {"calls": 1, "tokens": 12}}


def test_a_model_not_usable_is_passed_over_for_the_next_best(mr, fitted):
    router = _router(mr, fitted, ("anthropic",), enabled_models=["claude-sonnet", "claude-haiku", "gpt-5.2"])
    with router_log_lines() as lines:
        assert router.select_for_worker("prove it").display_name == "Claude Haiku"
    # Opus is not enabled (the store is not asked), GPT-5.2 has no key, Haiku is usable
    assert router._secrets.calls == ["openai", "anthropic"]
    assert lines == [("INFO", "Worker model (auto [simple]): Claude Haiku for 'prove it'")]


def test_with_none_usable_the_routers_own_fallback_applies(mr, fitted):
    router = _router(mr, fitted, ("anthropic",), enabled_models=["gpt-5.2", "claude-sonnet"])
    with router_log_lines() as lines:
        assert router.select_for_worker("prove it").display_name == "Claude Sonnet"  # first usable enabled model
    assert lines == [("INFO", "Worker model (auto [moderate]): Claude Sonnet for 'prove it'")]
    nothing = _router(mr, fitted, ())
    assert nothing.select_for_scheduler("prove it") is mr.AVAILABLE_MODELS["claude-sonnet"]  # the last resort


def test_explicit_and_default_choices_come_first_as_the_routers(mr, fitted):
    router = _router(mr, fitted, default_worker_model="claude-sonnet")
    with router_log_lines() as lines:
        assert router.select_for_worker("prove it", "claude-haiku").display_name == "Claude Haiku"
        assert router.select_for_worker("prove it", "nope").display_name == "Claude Sonnet"
    assert lines == [("INFO", "Worker model (explicit): Claude Haiku for 'prove it'"),
                     ("WARNING", "Requested model 'nope' not available, falling back to auto"),
                     ("INFO", "Worker model (default): Claude Sonnet for 'prove it'")]


class _Local:
    """A store with keys for every provider, the application's own one included."""

    def has_key(self, provider):
        return True


def test_models_an_application_adds_to_the_catalogue_and_enables_can_be_chosen(mr, catalogue, write_router):
    catalogue["local"] = mr.ModelSpec("local-7b", "ollama", "Local 7B", mr.Complexity.SIMPLE, 0.0, 0.0)
    fitted = load_router(write_router(document(catalogue={**KEYS, "small": "local"})))
    enabled = FittedModelRouter(fitted, mr.ModelRoutingConfig(enabled_models=["claude-haiku", "local"]), _Local())
    with router_log_lines() as lines:
        assert enabled.select_for_worker("list them").id == "local-7b"
    assert lines == [("INFO", "Worker model (auto [simple]): Local 7B for 'list them'")]
    # not enabled: passed over, and with nothing else usable, the fallback
    plain = FittedModelRouter(fitted, mr.ModelRoutingConfig(enabled_models=["claude-haiku"]), _Local())
    assert plain.select_for_worker("list them").display_name == "Claude Haiku"


def test_a_mapping_to_a_key_the_catalogue_does_not_hold_names_the_file(mr, fitted, write_router):
    path = write_router(document(catalogue={**KEYS, "small": "absent"}))
    router = FittedModelRouter(load_router(path), mr.ModelRoutingConfig(), RecordingStore(("anthropic",)))
    with pytest.raises(RouterFileError, match=r"router\.json'.*maps 'small' to 'absent'"):
        router.select_for_worker("list")
    # models the file does not map are never chosen
    unmapped = FittedModelRouter(FittedRouter(parse(json.dumps(document(catalogue={"big": "claude-opus"})))),
                                 mr.ModelRoutingConfig(), RecordingStore(("anthropic",)))
    assert unmapped.select_for_worker("list the files").display_name == "Claude Opus"


_ENABLED = list(chain.from_iterable(combinations(["claude-opus", "gpt-5.2", "claude-haiku", "claude-sonnet"], n)
                                    for n in range(5)))


@given(text=st.sampled_from(["prove it", "list", "mid", "prove the list mid", "", "nothing known"]),
       enabled=st.sampled_from(_ENABLED), providers=st.sets(st.sampled_from(["anthropic", "openai"])))
def test_the_choice_is_the_fitted_routers_among_the_usable_models(mr, fitted, text, enabled, providers):
    router = _router(mr, fitted, providers, enabled_models=list(enabled))
    provider = {"big": "anthropic", "mid": "openai", "small": "anthropic"}
    usable = [m for m in MODELS if KEYS[m] in enabled and provider[m] in providers]
    got = router.select_for_scheduler(text)
    if usable:
        assert got is mr.AVAILABLE_MODELS[KEYS[fitted.choose(text, usable)]]
    else:
        assert got is router._get_fallback()


@pytest.fixture
def write_router(tmp_path):
    def write(doc):
        path = tmp_path / "router.json"
        path.write_text(json.dumps(doc), encoding="utf-8")
        return str(path)
    return write
