"""Usage counters and the model listing."""

import pytest

from conftest import RecordingStore

LISTING_KEYS = ["key", "id", "provider", "display_name", "description", "complexity_tier", "enabled",
                "available", "cost_per_1k_input", "cost_per_1k_output", "calls", "tokens"]


def test_counting(mr):
    router = mr.ModelRouter(secrets=RecordingStore())
    assert router.get_usage_stats() == {}
    assert router.record_usage("claude-haiku") is None
    assert router.get_usage_stats() == {"claude-haiku": {"calls": 1, "tokens": 0}}
    router.record_usage("claude-haiku", 120)
    router.record_usage(model_key="claude-haiku", tokens=2.7)
    router.record_usage("claude-haiku", True)
    router.record_usage("claude-haiku", -10)
    record = router.get_usage_stats()["claude-haiku"]
    assert record == {"calls": 5, "tokens": 113} and type(record["tokens"]) is int
    assert list(record) == ["calls", "tokens"]
    router.record_usage("not-a-model", 10 ** 30)
    assert router.get_usage_stats()["not-a-model"] == {"calls": 1, "tokens": 10 ** 30}
    assert "not-a-model" not in [r["key"] for r in router.get_available_models()]


def test_usage_stats_copy_only_the_outer_dict(mr):
    router = mr.ModelRouter(secrets=RecordingStore())
    router.record_usage("claude-haiku", 5)
    before = router.get_usage_stats()
    router.record_usage("claude-haiku", 5)
    router.record_usage("gpt-5.2")
    assert before == {"claude-haiku": {"calls": 2, "tokens": 10}}  # shared record, no new key
    before["x"] = {}
    del before["claude-haiku"]
    assert list(router.get_usage_stats()) == ["claude-haiku", "gpt-5.2"]
    router.get_usage_stats()["claude-haiku"]["calls"] = 100
    router.record_usage("claude-haiku")
    assert router.get_usage_stats()["claude-haiku"]["calls"] == 101


def test_stripped_counter_record_raises_key_error(mr):
    router = mr.ModelRouter(secrets=RecordingStore())
    router.record_usage("claude-haiku")
    del router.get_usage_stats()["claude-haiku"]["tokens"]
    with pytest.raises(KeyError, match="tokens"):
        router.record_usage("claude-haiku")
    with pytest.raises(KeyError, match="tokens"):
        router.get_available_models()


def test_bad_arguments_count_nothing(mr):
    router = mr.ModelRouter(secrets=RecordingStore())
    for args in [("claude-haiku", "10"), (None, 1), ("claude-haiku", None), (mr.Complexity.SIMPLE,)]:
        with pytest.raises(TypeError):
            router.record_usage(*args)
    with pytest.raises(ValueError):
        router.record_usage("claude-haiku", float("nan"))
    with pytest.raises(OverflowError):
        router.record_usage("claude-haiku", float("inf"))
    with pytest.raises(TypeError, match=r"^int\(\) argument must be .* not 'complex'$"):
        router.record_usage("claude-haiku", 2j)
    assert router.get_usage_stats() == {}


def test_listing(mr):
    store = RecordingStore({"anthropic"})
    router = mr.ModelRouter(secrets=store)
    router.config.enabled_models.remove("claude-opus")
    router.record_usage("claude-sonnet", 42)
    listing = router.get_available_models()
    assert [r["key"] for r in listing] == list(mr.AVAILABLE_MODELS)
    assert all(list(r) == LISTING_KEYS for r in listing)
    opus, sonnet, haiku, gpt = listing
    assert (opus["enabled"], opus["available"]) == (False, False)
    assert (gpt["enabled"], gpt["available"]) == (True, False)
    assert (sonnet["calls"], sonnet["tokens"], haiku["calls"], haiku["tokens"]) == (1, 42, 0, 0)
    assert store.calls == ["anthropic", "anthropic", "openai"]  # opus is disabled: not asked
    spec = mr.AVAILABLE_MODELS["claude-haiku"]
    assert haiku == {"key": "claude-haiku", "id": spec.id, "provider": "anthropic",
                     "display_name": "Claude Haiku", "description": spec.description,
                     "complexity_tier": "simple", "enabled": True, "available": True,
                     "cost_per_1k_input": 0.00025, "cost_per_1k_output": 0.00125, "calls": 0, "tokens": 0}
    assert type(haiku["complexity_tier"]) is str
    again = router.get_available_models()
    assert again == listing and again is not listing and again[0] is not listing[0]
    again[1]["calls"] = 99
    assert router.get_usage_stats()["claude-sonnet"]["calls"] == 1


def test_listing_passes_the_store_answer_through(mr):
    router = mr.ModelRouter(secrets=RecordingStore(answer="yes"))
    assert [r["available"] for r in router.get_available_models()] == ["yes"] * 4
