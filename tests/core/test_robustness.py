"""Adversarial callbacks, threads and memory: nothing crashes, nothing is lost or left half-done."""

import sys
import threading

import pytest

from conftest import SANITIZED, RecordingStore

D2 = "Research the pricing pages of three hosting providers and write a recommendation"


class Boom(Exception):
    pass


def run_threads(*targets):
    """Runs the targets on threads of their own, switching between them as often as possible."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=t) for t in targets]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(interval)


def test_store_that_raises(mr, logs):
    class Raising:
        def has_key(self, provider):
            raise Boom(provider)

    router = mr.ModelRouter(secrets=Raising())
    for call in (lambda: router.select_for_worker(D2), lambda: router.get_available_models(),
                 lambda: router.get_model("claude-opus"), lambda: router.select_for_scheduler(D2, "gpt-5.2")):
        with pytest.raises(Boom) as info:
            call()
    names = [entry.name for entry in info.traceback]
    assert names[-3:] == ["halvec.core.model_router.ModelRouter.get_model",
                          "halvec.core.model_router.ModelRouter._is_available", "has_key"]
    assert logs() == []


def test_store_that_clears_or_rebinds_the_catalogue(mr, catalogue):
    entries = dict(catalogue)

    class Clearing:
        def has_key(self, provider):
            mr.AVAILABLE_MODELS.clear()
            return False

    with pytest.raises(RuntimeError, match="changed size during iteration"):
        mr.ModelRouter(secrets=Clearing()).get_available_models()
    catalogue.update(entries)

    class Rebinding:
        def has_key(self, provider):
            mr.AVAILABLE_MODELS = {}
            return False

    router = mr.ModelRouter(secrets=Rebinding())
    assert len(router.get_available_models()) == 4  # the walk keeps the catalogue it started on
    mr.AVAILABLE_MODELS = catalogue
    with pytest.raises(KeyError, match="claude-sonnet"):
        router.select_for_worker(D2)  # the last resort is looked up in the rebound, empty catalogue


def test_store_that_replaces_the_preferences(mr):
    router = mr.ModelRouter()

    class Swapping:
        def has_key(self, provider):
            router.update_config(mr.ModelRoutingConfig(enabled_models=None))
            return False

    router._secrets = Swapping()
    with pytest.raises(TypeError):
        router.select_for_worker(D2)  # the next enabled test sees the new, broken record


def test_enabled_models_that_misbehave(mr):
    class Raising(list):
        def __contains__(self, key):
            raise Boom(key)

    class Mutating(list):
        def __contains__(self, key):
            self.clear()
            return True

    router = mr.ModelRouter(mr.ModelRoutingConfig(enabled_models=Raising(["x"])), RecordingStore({"anthropic"}))
    with pytest.raises(Boom):
        router.select_for_worker(D2)
    with pytest.raises(Boom):
        router.get_available_models()
    mutating = Mutating(["claude-haiku", "gpt-5.2"])
    router = mr.ModelRouter(mr.ModelRoutingConfig(enabled_models=mutating), RecordingStore({"anthropic"}))
    assert router.select_for_worker(D2).display_name == "Claude Opus"
    assert router._get_fallback().display_name == "Claude Sonnet"  # iterating the emptied list


def test_record_whose_id_edits_the_catalogue(mr, catalogue):
    class SneakyId:
        def __eq__(self, other):
            mr.AVAILABLE_MODELS.pop("gpt-5.2", None)
            return False
        __hash__ = object.__hash__

    spec = mr.ModelSpec(SneakyId(), "anthropic", "S", mr.Complexity.SIMPLE)
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        mr.ModelRouter(secrets=RecordingStore({"anthropic"}))._is_available(spec)


def test_record_usage_loses_no_count_across_threads(mr):
    router = mr.ModelRouter(secrets=RecordingStore())
    threads, per_thread = 8, (125_000 if not SANITIZED else 25_000)
    run_threads(*[lambda: [router.record_usage("claude-haiku", 2) for _ in range(per_thread)]] * threads)
    assert router.get_usage_stats()["claude-haiku"] == {"calls": threads * per_thread,
                                                        "tokens": 2 * threads * per_thread}


def test_selection_beside_update_config(mr):
    store = RecordingStore({"anthropic"})
    haiku_only = mr.ModelRoutingConfig(enabled_models=["claude-haiku"])
    opus_only = mr.ModelRoutingConfig(enabled_models=["claude-opus"])
    router = mr.ModelRouter(haiku_only, store)
    stop, seen, errors = threading.Event(), set(), []

    def swap():
        while not stop.is_set():
            router.update_config(opus_only)
            router.update_config(haiku_only)

    def select():
        try:
            for _ in range(3000):
                seen.add(router.select_for_scheduler(D2).display_name)
                assert router.config in (haiku_only, opus_only)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def selectors():
        run_threads(select, select, select)
        stop.set()

    run_threads(swap, selectors)
    assert errors == []
    assert seen <= {"Claude Haiku", "Claude Opus", "Claude Sonnet"}


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer keeps freed memory in quarantine")
def test_memory_is_flat_over_a_million_calls(python):
    calls = 1_000_000
    out = python(f"""
        import logging, resource
        logging.disable(logging.CRITICAL)
        from halvec.core import model_router as mr
        from halvec.config import SecretsStore
        store = SecretsStore()
        store.set_key("anthropic", "k")
        router = mr.ModelRouter(None, store)
        spec = mr.AVAILABLE_MODELS["claude-haiku"]
        texts = ["Summarise the meeting notes", "Research the pricing pages of three hosting providers",
                 "x" * 30]
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * resource.getpagesize()
        marks = []
        n = {calls} // 8
        for i in range(n):
            text = texts[i % 3]
            router.select_for_worker(text, "auto" if i % 2 else "claude-haiku")
            router.select_for_scheduler(text)
            mr.classify_complexity(text, i % 7)
            router.record_usage("claude-haiku", i)
            router.get_model("gpt-5.2")
            router.get_litellm_model_string(spec)
            router.get_usage_stats()
            if i % 16 == 0:
                router.get_available_models()
            try:
                router.get_model(None)
            except TypeError:
                pass
            if i in (n // 4, n // 2, 3 * n // 4, n - 1):
                marks.append(rss())
        print(marks[1], marks[3])
    """, timeout=600)
    second_quarter, last = map(int, out.split())
    assert last - second_quarter < 2 * 1024 * 1024, (second_quarter, last)


def test_first_count_of_a_key_from_many_threads(mr):
    # Every thread counts keys no one has counted yet; creating a key's record
    # can let another thread run, which must not make either count vanish.
    router = mr.ModelRouter(secrets=RecordingStore())
    keys = [f"model-{i}" for i in range(2000)]
    run_threads(*[lambda: [router.record_usage(k) for k in keys]] * 4)
    assert all(record["calls"] == 4 for record in router.get_usage_stats().values())


def test_fallback_holds_each_enabled_key_as_a_for_loop_does(mr, catalogue):
    # An enabled entry that is no catalogue key takes itself out of the list
    # while the catalogue is asked about it; when the loop lets it go, its
    # finaliser puts another key before the next one. The loop has fetched
    # the next one by then, so it is the one tried.
    import reference

    class Entry:
        def __init__(self, entries):
            self.entries = entries

        def __hash__(self):
            self.entries[0] = "not a model"
            return 1

        def __eq__(self, other):
            return False

        def __del__(self):
            self.entries[1:2] = ["gpt-5.2", "claude-haiku"]

    chosen = []
    for router_class in (mr.ModelRouter, reference.ReferenceRouter):
        entries = [None, "claude-haiku"]
        entries[0] = Entry(entries)
        config = mr.ModelRoutingConfig(enabled_models=entries)
        chosen.append(router_class(config, RecordingStore({"anthropic", "openai"}))._get_fallback().display_name)
    assert chosen == ["Claude Haiku", "Claude Haiku"]
