"""The fast paths' ways out: an override, a patch, a rebinding or a value of
another type takes the general path and gives what the plain-Python model
gives: the same answers, log lines, store calls, comparisons and exceptions."""

import copy
import logging

import pytest
from hypothesis import given, strategies as st

import reference
from conftest import RecordingStore, router_log_lines

D1 = "Summarise the meeting notes"
D2 = "Research the pricing pages of three hosting providers and write a recommendation"
KEYS = ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]


def outcome(call):
    try:
        result = call()
    except Exception as e:  # the exception is the outcome
        return ("raised", type(e), str(e), getattr(e, "__notes__", None))
    return ("returned", id(result) if hasattr(result, "display_name") else result)


def observe(router_class, calls, *, providers=("anthropic", "openai"), wrap=lambda cls: cls, **prefs):
    """Outcomes, log lines and store calls of `calls` on a new router."""
    from halvec.core import model_router as mr
    store = RecordingStore(providers)
    router = wrap(router_class)(mr.ModelRoutingConfig(**prefs), store)
    with router_log_lines() as lines:
        outcomes = [outcome(lambda: call(router)) for call in calls]
    return outcomes, lines, store.calls


def assert_same(mr, calls, **kwargs):
    native = observe(mr.ModelRouter, calls, **kwargs)
    assert native == observe(reference.ReferenceRouter, calls, **kwargs)
    return native


@pytest.fixture
def both(mr, monkeypatch):
    """Binds a module-level name in the module and in the plain-Python model."""
    def bind(name, value):
        monkeypatch.setattr(mr, name, value)
        monkeypatch.setattr(reference, name, value)
    return bind


class Counted:
    """A value that counts and records the comparisons made with it."""

    def __init__(self, value, log):
        self.value, self.log = value, log

    def __eq__(self, other):
        self.log.append((self.value, other))
        return self.value == other

    def __hash__(self):
        return hash(self.value)


WORKER_CALLS = [lambda r: r.select_for_worker(D2, "claude-haiku"), lambda r: r.select_for_worker(D1),
                lambda r: r.select_for_worker(D2, "gpt-5.2"), lambda r: r.get_available_models(),
                lambda r: r.select_for_scheduler(D2)]


# Comparisons of exact str are made in place; anything else is compared by its own __eq__.

def test_enabled_models_of_other_types_are_compared_by_their_own_eq(mr):
    for make in (lambda log: [Counted(k, log) for k in KEYS[::-1]],
                 lambda log: ["claude-opus", Counted("claude-haiku", log), "gpt-5.2"],
                 lambda log: type("Keys", (list,), {})(KEYS), lambda log: tuple(KEYS[1:])):
        logs = []
        for router_class in (mr.ModelRouter, reference.ReferenceRouter):
            log = []
            logs.append((observe(router_class, WORKER_CALLS, enabled_models=make(log)), log))
        assert logs[0] == logs[1]


def test_record_ids_and_providers_of_other_types(mr, catalogue):
    log = []
    S, C = mr.ModelSpec, mr.Complexity
    entries = {"claude-opus": S(Counted("opus-1", log), "anthropic", "Opus", C.COMPLEX),
               "claude-sonnet": S(5, Counted("anthropic", log), "Sonnet", C.MODERATE),
               "claude-haiku": S("haiku-1", type("P", (str,), {})("anthropic"), "Haiku", C.SIMPLE),
               "gpt-5.2": S("gpt", "openai", "GPT", C.COMPLEX)}
    catalogue.clear()
    catalogue.update(entries)
    assert_same(mr, WORKER_CALLS + [lambda r: [r.get_litellm_model_string(s) for s in entries.values()]])
    assert log  # the comparisons did reach the values' own __eq__


def test_a_non_dict_catalogue_and_a_rebound_one(mr, both):
    class Catalogue(dict):
        def items(self):
            return list(super().items())[::-1]

    both("AVAILABLE_MODELS", Catalogue(mr.AVAILABLE_MODELS))
    assert_same(mr, WORKER_CALLS)
    both("AVAILABLE_MODELS", {k: mr.AVAILABLE_MODELS[k] for k in KEYS[1:]})
    assert_same(mr, WORKER_CALLS, providers=("openai",))


def test_default_compared_with_auto_by_its_own_ne(mr):
    class NeverDifferent(str):
        def __ne__(self, other):
            return False

    # != says "not different": the default is passed over, as "auto" would be.
    router = mr.ModelRouter(mr.ModelRoutingConfig(default_worker_model=NeverDifferent("claude-opus")),
                            RecordingStore({"anthropic"}))
    assert router.select_for_worker(D1).display_name == "Claude Haiku"
    # != says "different" even for "auto": get_model refuses the subclass.
    router.config.default_worker_model = type("AlwaysDifferent", (str,), {"__ne__": lambda s, o: True})("auto")
    with pytest.raises(TypeError, match="expected str, got AlwaysDifferent"):
        router.select_for_worker(D1)


# Counters: exact dicts and ints are updated in place; anything else by its own operations.

def test_counters_of_other_types(mr):
    class Tally(int):
        def __iadd__(self, other):
            return Tally(int(self) + 2 * other)

    class Recording(dict):
        def __getitem__(self, key):
            self.setdefault("seen", 0)
            return super().__getitem__(key)

    for stats in ({"k": {"calls": Tally(1), "tokens": 1.5}}, {"k": Recording(calls=0, tokens=0)},
                  Recording(k={"calls": 0, "tokens": 0}), {"k": {"calls": 0}}, {"k": {"tokens": 0}}):
        results = []
        for router_class in (mr.ModelRouter, reference.ReferenceRouter):
            router = router_class(secrets=RecordingStore())
            router._usage_stats = copy.deepcopy(stats)
            got = [outcome(lambda: router.record_usage("k", 3)), outcome(lambda: router.record_usage("k"))]
            results.append((got, router.get_usage_stats()))
        assert results[0] == results[1]


# Log lines are assembled in place from any text.

@given(st.text(max_size=70), st.one_of(st.text(max_size=12), st.integers(), st.none()), st.text(min_size=1))
def test_log_lines_from_any_text(mr, description, name, key):
    spec = mr.ModelSpec("id-x", "anthropic", name, mr.Complexity.SIMPLE)
    saved = dict(mr.AVAILABLE_MODELS)
    mr.AVAILABLE_MODELS["claude-haiku"] = spec
    try:
        # An unusable key falls back to the configured default, not to the classifier.
        assert_same(mr, [lambda r: r.select_for_worker(description, "claude-haiku"),
                         lambda r: r.select_for_worker(description, key)], providers=("anthropic",),
                    enabled_models=["claude-haiku"], default_worker_model="claude-haiku")
    finally:
        mr.AVAILABLE_MODELS.update(saved)


def test_display_name_with_its_own_format(mr, catalogue):
    class Fancy(str):
        def __format__(self, spec):
            return "fancy " + self

    catalogue["claude-haiku"] = mr.ModelSpec("h", "anthropic", Fancy("\u00e9\U0001F600"), mr.Complexity.SIMPLE)
    _, lines, _ = assert_same(mr, [lambda r: r.select_for_worker("\u4e2d" * 60, "claude-haiku")])
    assert lines == [("INFO", "Worker model (explicit): fancy \u00e9\U0001F600 for '" + "\u4e2d" * 50 + "'")]


# Overrides, patches and rebindings take effect at the next call.

def test_overrides_and_patches_are_honoured(mr, monkeypatch):
    def wrap(cls):
        class Picky(cls):
            def _is_available(self, spec):
                return spec.provider == "openai" or super()._is_available(spec)

            def get_model(self, model_key):
                return None if model_key == "claude-haiku" else super().get_model(model_key)
        return Picky

    assert_same(mr, WORKER_CALLS, wrap=wrap, providers=())
    first = assert_same(mr, WORKER_CALLS)
    for cls in (mr.ModelRouter, reference.ReferenceRouter):
        monkeypatch.setattr(cls, "_select_for_complexity", lambda self, c: self._get_fallback())
        monkeypatch.setattr(cls, "_usage_stats", property(lambda self: {"claude-haiku": {"calls": 7, "tokens": 1}},
                                                          lambda self, v: None), raising=False)
    assert assert_same(mr, WORKER_CALLS) != first


def test_logger_subclass_and_patched_logger(mr, both, monkeypatch):
    seen = []

    class Collecting(logging.Logger):
        def info(self, msg, *args, **kwargs):
            seen.append(("info", msg))

        def warning(self, msg, *args, **kwargs):
            seen.append(("warning", msg))

    both("logger", Collecting("collector"))
    assert_same(mr, WORKER_CALLS + [lambda r: r.select_for_worker(D1, "nope")])
    excerpt = D2[:50]
    assert seen[:4] == [("info", f"Worker model (explicit): Claude Haiku for '{excerpt}'"),
                        ("info", f"Worker model (auto [simple]): Claude Haiku for '{D1}'"),
                        ("info", f"Worker model (explicit): GPT-5.2 for '{excerpt}'"),
                        ("warning", "Requested model 'nope' not available, falling back to auto")]
    assert seen[5:] == seen[:5]
    both("logger", logging.getLogger("halvec.model_router"))
    monkeypatch.setattr(logging.Logger, "info", lambda self, msg: seen.append(("patched", msg)))
    seen.clear()
    assert_same(mr, WORKER_CALLS[:1])
    assert seen == [("patched", f"Worker model (explicit): Claude Haiku for '{excerpt}'")] * 2


# The binding: by position and by keyword, the same outcome.

VALUES = ["claude-haiku", "", None, 3, 2.9, True, -1, type("S", (str,), {})("claude-haiku"), b"x", [1], 2j]


@pytest.mark.parametrize("key", VALUES)
@pytest.mark.parametrize("tokens", VALUES)
def test_positional_and_keyword_calls_agree(mr, key, tokens):
    results = []
    for by_keyword in (False, True):
        router = mr.ModelRouter(secrets=RecordingStore({"anthropic"}))
        if by_keyword:
            calls = [lambda: router.record_usage(model_key=key, tokens=tokens),
                     lambda: router.get_model(model_key=key),
                     lambda: router.select_for_scheduler(job_description=D1, model_key=key)]
        else:
            calls = [lambda: router.record_usage(key, tokens), lambda: router.get_model(key),
                     lambda: router.select_for_scheduler(D1, key)]
        results.append(([outcome(c) for c in calls], router.get_usage_stats()))
    assert results[0] == results[1]


# Hostile values: the same outcome as the plain-Python model, and never a crash.

def test_enabled_item_that_empties_the_list_while_compared(mr):
    class Clearing:
        def __init__(self):
            self.owner = None

        def __eq__(self, other):
            self.owner.clear()
            return False

        __hash__ = object.__hash__

    results = []
    for router_class in (mr.ModelRouter, reference.ReferenceRouter):
        item = Clearing()
        item.owner = enabled = ["claude-opus", item, "claude-haiku"]
        results.append(observe(router_class, [lambda r: r.get_model("claude-haiku"),
                                              lambda r: r.config.enabled_models], enabled_models=enabled))
    assert results[0] == results[1]


def test_counter_that_empties_the_stats_while_added_to(mr):
    class Emptying(int):
        def __iadd__(self, other):
            router._usage_stats.clear()
            return 0

    results = []
    for router_class in (mr.ModelRouter, reference.ReferenceRouter):
        router = router_class(secrets=RecordingStore())
        router._usage_stats["k"] = {"calls": Emptying(1), "tokens": 0}
        results.append((outcome(lambda: router.record_usage("k", 5)), router.get_usage_stats()))
    assert results[0] == results[1]


def test_tier_whose_comparison_rewrites_the_preference_map(mr):
    import gc

    class Meddling:
        def __hash__(self):
            return hash(mr.Complexity.SIMPLE)

        def __eq__(self, other):
            # The map of the call in progress: the three tiers, each to a small int.
            for holder in gc.get_referrers(other):
                if (type(holder) is dict and len(holder) == 3 and any(k is other for k in holder)
                        and all(type(v) is int for v in holder.values())):
                    holder[other] = "not a list of keys"
            return True

    router = mr.ModelRouter(secrets=RecordingStore({"anthropic"}))
    with pytest.raises(RuntimeError, match="preference map changed"):
        router._select_for_complexity(Meddling())


def test_failed_reads_carry_the_name_and_the_object(mr):
    # What the interpreter's own attribute read attaches (the traceback's "Did you mean" uses it),
    # also to an AttributeError that a class's own __getattr__ raises bare.
    class Elusive:
        def __getattr__(self, name):
            raise AttributeError("nope")

    for stranger in (object(), Elusive()):
        with pytest.raises(AttributeError) as info:
            mr.ModelRouter(secrets=RecordingStore())._is_available(stranger)
        assert (info.value.name, info.value.obj) == ("id", stranger)


# The order in which the plain-Python model reads, compares and unpacks, as
# hostile objects can see it.

def test_equal_ids_are_compared_by_their_eq_even_when_one_object(mr, catalogue):
    class Id:
        def __eq__(self, other):
            raise ValueError("id compared")
        __hash__ = object.__hash__

    record = catalogue["claude-opus"]
    saved, record.id = record.id, Id()
    try:
        native = assert_same(mr, [lambda r: r._is_available(record)])
    finally:
        record.id = saved
    assert native[0] == [("raised", ValueError, "id compared", None)]


def test_the_stores_method_is_read_before_the_provider(mr):
    class Spec:
        id = "not-in-catalogue"

        @property
        def provider(self):
            raise LookupError("provider read")

    class NoMethod:
        pass

    calls = [lambda r: type(r)(secrets=NoMethod())._is_available(Spec())]
    assert assert_same(mr, calls)[0][0][1] is AttributeError


def test_the_logger_is_read_before_the_message_is_built(mr, both, catalogue):
    other = logging.getLogger("halvec.test.other")
    original = mr.logger

    class Name:
        def __format__(self, spec):
            mr.logger = reference.logger = other  # rebound while the message is built
            return "Patched"

    def select(router):
        both("logger", original)  # each run starts from the module's own logger
        return router.select_for_worker("x", "claude-haiku")

    record = catalogue["claude-haiku"]
    saved, record.display_name = record.display_name, Name()
    try:
        native = assert_same(mr, [select])
    finally:
        record.display_name = saved
        both("logger", original)
    assert native[1] == [("INFO", "Worker model (explicit): Patched for 'x'")]


class Items:
    """A catalogue whose items() gives one entry, made afresh each time."""

    def __init__(self, make_entry):
        self.make_entry = make_entry

    def items(self):
        return [self.make_entry()]


class Triple(tuple):
    """A tuple subclass: unpacked by iteration, never by its length."""


# The texts of "too many values" depend on the interpreter (3.14 and later give the count
# for an exact tuple, list or dict only): the plain-Python model, run on the same
# interpreter, says what it is there.
@pytest.mark.parametrize("make_entry", [lambda: 5, lambda: ("k",), lambda: ("a", "b", "c"),
                                        lambda: iter("abc"), lambda: iter("a"),
                                        lambda: ["a", "b", "c", "d"], lambda: {"a": 1, "b": 2, "c": 3},
                                        lambda: {"a": 1}, lambda: Triple("abc"), lambda: "abc",
                                        lambda: {"a", "b", "c"}],
                         ids=["int", "short tuple", "long tuple", "3-item iterator", "1-item iterator",
                              "long list", "long dict", "short dict", "long tuple subclass", "long str",
                              "long set"])
def test_catalogue_entries_are_unpacked_as_a_for_loop_unpacks_them(mr, both, make_entry):
    both("AVAILABLE_MODELS", Items(make_entry))
    assert_same(mr, [lambda r: r.get_available_models()])


def test_an_endless_catalogue_entry_is_unpacked_no_further_than_three_items(mr, both):
    import itertools
    both("AVAILABLE_MODELS", Items(itertools.count))
    native = observe(mr.ModelRouter, [lambda r: r.get_available_models()])
    assert native[0] == [("raised", ValueError, "too many values to unpack (expected 2)", None)]


def test_usage_stats_of_other_types_and_rebound_mid_call(mr):
    class RequiresDefault(dict):
        def get(self, key, default):
            return default

    def rebinding(router):
        class Stats(dict):
            def __contains__(self, key):
                router._usage_stats = {}  # the new record must go to the new dict
                return False
        router._usage_stats = Stats()
        router.record_usage("claude-opus", 3)
        return dict(router._usage_stats), type(router._usage_stats).__name__

    def pairs(router):
        router._usage_stats = [("claude-opus", {"calls": 1, "tokens": 2})]
        return router.get_usage_stats()

    def with_default(router):
        router._usage_stats = RequiresDefault()
        return [m["calls"] for m in router.get_available_models()]

    assert_same(mr, [rebinding, pairs, with_default])


def test_the_fallback_returns_the_record_it_tested(mr, catalogue):
    # The store refreshes the catalogue entry while it is asked: the record
    # returned is the one found usable, and the catalogue is read once.
    import dataclasses

    class Refreshing:
        def has_key(self, provider):
            old = catalogue["claude-haiku"]
            catalogue["claude-haiku"] = dataclasses.replace(old, display_name=old.display_name + "+")
            return True

    for router_class in (mr.ModelRouter, reference.ReferenceRouter):
        catalogue["claude-haiku"] = dataclasses.replace(catalogue["claude-haiku"], display_name="Haiku")
        router = router_class(mr.ModelRoutingConfig(enabled_models=["claude-haiku"]), Refreshing())
        assert router._get_fallback().display_name == "Haiku"
        assert catalogue["claude-haiku"].display_name == "Haiku+"


def test_a_catalogue_key_finalised_in_the_walk_edits_the_catalogue(mr, catalogue):
    # An id's __eq__ swaps the first key for another (the walk then holds
    # its last reference); letting it go for the next entry runs its
    # finaliser, which drops that next entry from the catalogue.
    import dataclasses
    template = catalogue["claude-haiku"]

    class Key(str):
        def __del__(self):
            catalogue.pop("k2", None)

    class Id:
        def __init__(self, name):
            self.name = name

        def __eq__(self, other):
            if self.name == "first" and "k1" in catalogue:
                del catalogue["k1"]
                catalogue["k9"] = dataclasses.replace(template, id=Id("ninth"))
            return False

        __hash__ = None

    outcomes = []
    for router_class in (mr.ModelRouter, reference.ReferenceRouter):
        catalogue.clear()
        catalogue.update({Key(f"k{i}"): dataclasses.replace(template, id=Id(name))
                          for i, name in ((1, "first"), (2, "second"), (3, "third"))})
        router = router_class(mr.ModelRoutingConfig(), RecordingStore(["anthropic"]))
        outcomes.append(outcome(lambda: router._is_available(dataclasses.replace(template, id=Id("target")))))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][1] is RuntimeError
