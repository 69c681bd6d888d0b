"""Explanations: explain_complexity against the classifier and re, explain_selection over the
selection's stages, against a model of how the stages pass candidates over, with subclasses,
patches and threads."""

import dataclasses
import re
import sys
import threading
import time

import pytest
from hypothesis import given, strategies as st

import halvec
import reference
from conftest import RecordingStore, router_log_lines
from halvec.core import model_router as mr
from halvec.explain import ComplexityExplanation, PassedOver, explain_complexity, explain_selection

KEYS = ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]
D1 = "Summarise the meeting notes"
D2 = "Research the pricing pages of three hosting providers and write a recommendation"
D3 = ("Go through the attached supplier invoices and mark each one whose amount differs from the "
      "purchase order total")
WATCHED = ("get_model", "_is_available", "_select_for_complexity", "_get_fallback")


def P(key, stage, reason):
    return PassedOver(key, stage, reason)


# --- explain_complexity ----------------------------------------------------------------------

@pytest.mark.parametrize("text, tools, tier, rule, where", [
    ("Summarise", 0, "simple", "length", None),
    ("Write a detailed report on our Q3 sales", 0, "complex", "complex_pattern", (1, "write a detailed report")),
    ("Check the stock market before noon", 0, "complex", "complex_pattern", (8, "stock")),
    ("Hello, please organise my desktop icons", 0, "simple", "simple_pattern", (0, "hello")),
    ("Write 500 words about the history of tea", 0, "simple", "counts", "word_count < 15 and tool_count <= 1"),
    ("Pull the sales numbers and email them to the group", 2, "moderate", "counts", "tool_count > 1"),
    ("Pull the sales numbers and email them to the group", 4.9, "moderate", "counts", "tool_count > 2"),
    ("Pull the sales numbers and email them to the group", 5, "complex", "counts", "tool_count > 4"),
    (" ".join(["item"] * 15), 0, "moderate", "counts", "word_count >= 15"),
    (" ".join(["item"] * 61), 0, "complex", "counts", "word_count > 60"),
])
def test_explains_each_rule(text, tools, tier, rule, where):
    e = explain_complexity(text, tools)
    assert isinstance(e, ComplexityExplanation)
    assert (e.tier, e.rule) == (mr.Complexity(tier), rule) and e.tier is mr.classify_complexity(text, tools)
    normalised = text.lower().strip()
    assert (e.length, e.word_count, e.tool_count) == (len(normalised), len(normalised.split()), int(tools))
    if rule.endswith("_pattern"):
        index, match = where
        listed = mr._COMPLEX_PATTERNS if rule == "complex_pattern" else mr._SIMPLE_PATTERNS
        assert (e.pattern_list, e.pattern_index, e.match) == (rule.split("_")[0], index, match)
        assert e.pattern is listed[index] and normalised[slice(*e.span)] == match and e.threshold is None
    else:
        assert (e.pattern_list, e.pattern_index, e.pattern, e.span, e.match) == (None,) * 5
        assert e.threshold == (where if rule == "counts" else None)


WORDS = ["research", "stock", "hello", "check", "list", "write", "report", "design system", "multi-step",
         "500 word", "every", "day", "\n", "  ", "\t", "İ", "ß", "item", "x", "the", "debug", "complex",
         "a" * 25, "Ok", "plan", "project", "_", "é"]


@given(st.lists(st.sampled_from(WORDS), max_size=40).map(" ".join), st.integers(-3, 7))
def test_agrees_with_the_classifier_and_with_re(text, tools):
    e = explain_complexity(text, tools)
    assert e.tier is mr.classify_complexity(text, tools) is reference.classify_complexity(text, tools)
    normalised = text.lower().strip()
    assert (e.length, e.word_count, e.tool_count) == (len(normalised), len(normalised.split()), tools)
    complex_hits = [i for i, p in enumerate(mr._COMPLEX_PATTERNS) if re.search(p, normalised)]
    simple_hits = [i for i, p in enumerate(mr._SIMPLE_PATTERNS) if re.search(p, normalised)]
    if len(normalised) < 20:
        assert e.rule == "length"
    elif complex_hits or simple_hits:
        listed, hits = ((mr._COMPLEX_PATTERNS, complex_hits) if complex_hits else (mr._SIMPLE_PATTERNS, simple_hits))
        found = re.search(listed[hits[0]], normalised)
        assert (e.rule, e.pattern_index, e.span, e.match) == (
            "complex_pattern" if complex_hits else "simple_pattern", hits[0], found.span(), found.group())
    else:
        assert e.rule == "counts" and e.threshold


def test_reads_the_live_lists(patterns):
    text = "please tidy up the garden shed"
    assert explain_complexity(text).rule == "counts"
    mr._SIMPLE_PATTERNS.append("garden")
    e = explain_complexity(text)
    assert (e.rule, e.pattern_index, e.match) == ("simple_pattern", 6, "garden")
    mr._COMPLEX_PATTERNS = [re.compile("sh(e)d")]
    e = explain_complexity(text)
    at = text.index("shed")
    assert (e.rule, e.pattern, e.span, e.match) == ("complex_pattern", mr._COMPLEX_PATTERNS[0], (at, at + 4), "shed")


def _outcome(call):
    try:
        result = call()
        return "returned", getattr(result, "tier", result)  # an explanation's tier, or the tier
    except Exception as error:  # noqa: BLE001 - the comparison is the point
        message = re.sub(r"^\w+\(\)", "f()", str(error))  # the function names itself
        return type(error), message


@pytest.mark.parametrize("args, kwargs", [
    ((None,), {}), ((b"text",), {}), ((type("S", (str,), {})("text"),), {}), (("x" * 30, "3"), {}),
    (("x" * 30, None), {}), (("x" * 30, float("nan")), {}), (("x" * 30, float("inf")), {}), (("x" * 30, 1j), {}),
    ((None, "3"), {}), ((), {}), (("a", 1, 2), {}), (("a",), {"tools": 1}), ((), {"prompt": "a"}),
    (("x" * 30,), {"tool_count": True}), (("x" * 30, 10 ** 100), {}),
])
def test_bad_arguments_raise_what_the_classifier_raises(args, kwargs):
    assert _outcome(lambda: explain_complexity(*args, **kwargs)) == _outcome(
        lambda: mr.classify_complexity(*args, **kwargs))


@pytest.mark.parametrize("edit", [
    lambda: mr._COMPLEX_PATTERNS.insert(0, 5),
    lambda: mr._COMPLEX_PATTERNS.insert(3, "("),
    lambda: mr._SIMPLE_PATTERNS.append("[z-a]"),
    lambda: mr._SIMPLE_PATTERNS.insert(0, b"please"),
    lambda: setattr(mr, "_COMPLEX_PATTERNS", None),
    lambda: setattr(mr, "_SIMPLE_PATTERNS", ("please",)),
    lambda: delattr(mr, "_SIMPLE_PATTERNS"),
], ids=["int", "unterminated group", "bad range", "bytes", "None", "tuple", "missing"])
def test_bad_list_entries_raise_what_the_classifier_raises(patterns, edit):
    edit()
    for text in ("please do the thing for me right now", "short"):
        assert _outcome(lambda: explain_complexity(text)) == _outcome(lambda: mr.classify_complexity(text))


def test_exported_by_the_package():
    assert halvec.explain_complexity is explain_complexity and halvec.explain_selection is explain_selection
    with pytest.raises(AttributeError):
        halvec.nonexistent  # noqa: B018


# --- explain_selection: a model of the stages --------------------------------------------------

PROVIDER = {key: spec.provider for key, spec in mr.AVAILABLE_MODELS.items()}
TIER_LISTS = {
    False: {"complex": KEYS[:2] + ["gpt-5.2"], "moderate": ["claude-sonnet", "claude-haiku", "gpt-5.2"],
            "simple": ["claude-haiku", "claude-sonnet", "gpt-5.2"]},
    True: {"complex": ["claude-sonnet", "claude-haiku", "gpt-5.2"],
           "moderate": ["claude-haiku", "claude-sonnet", "gpt-5.2"],
           "simple": ["claude-haiku", "claude-sonnet", "gpt-5.2"]},
}


def expected(description, model_key, prefs, providers, scheduler=False):
    """(key, decided_by, passed_over, whether the choice by complexity ran), worked out from the
    preferences and the providers alone."""
    enabled = prefs.get("enabled_models", KEYS)
    default = prefs.get("default_scheduler_model" if scheduler else "default_worker_model", "auto")

    def usable(key):
        return key in PROVIDER and key in enabled and PROVIDER[key] in providers

    def reason(key):
        if key not in PROVIDER:
            return "not a catalogue key"
        return "not enabled" if key not in enabled else "no key for its provider"

    passed = []
    for stage, key in (("explicit", model_key), ("default", default)):
        if key not in (None, "", "auto"):
            if usable(key):
                return key, stage, passed, False
            passed.append(P(key, stage, reason(key)))
    tier = reference.classify_complexity(description).value
    for key in TIER_LISTS[bool(prefs.get("cost_conscious"))][tier]:
        if usable(key):
            return key, "auto", passed, True
        passed.append(P(key, "auto", reason(key)))
    for key in enabled:
        if usable(key):
            return key, "fallback", passed, True
        passed.append(P(key, "fallback", reason(key)))
    return "claude-sonnet", "last_resort", passed, True


def check(router, description, model_key, prefs, providers, scheduler=False):
    explained = explain_selection(router, description, model_key, scheduler=scheduler)
    key, decided_by, passed, auto = expected(description, model_key, prefs, providers, scheduler)
    assert (explained.key, explained.decided_by, list(explained.passed_over)) == (key, decided_by, passed)
    assert explained.spec is mr.AVAILABLE_MODELS[key]
    assert explained.complexity == (explain_complexity(description) if auto else None)
    return explained


def router_for(prefs, providers, cls=None):
    return (cls or mr.ModelRouter)(mr.ModelRoutingConfig(**prefs), RecordingStore(providers))


def test_each_stage_and_reason_spelt_out():
    prefs = {"enabled_models": ["nonexistent", "claude-haiku", "gpt-5.2"], "default_worker_model": "claude-opus"}
    explained = explain_selection(router_for(prefs, {"openai"}), D2, " claude-haiku")
    assert (explained.key, explained.decided_by) == ("gpt-5.2", "auto")
    assert explained.passed_over == (
        P(" claude-haiku", "explicit", "not a catalogue key"), P("claude-opus", "default", "not enabled"),
        P("claude-opus", "auto", "not enabled"), P("claude-sonnet", "auto", "not enabled"))
    assert explained.complexity.tier is mr.Complexity.COMPLEX and explained.complexity.match == "research"

    prefs = {"enabled_models": ["nonexistent", "gpt-5.2", "claude-haiku"]}
    explained = explain_selection(router_for(prefs, {"anthropic"}), D2, "gpt-5.2")
    assert (explained.key, explained.decided_by) == ("claude-haiku", "fallback")
    assert explained.passed_over == (
        P("gpt-5.2", "explicit", "no key for its provider"), P("claude-opus", "auto", "not enabled"),
        P("claude-sonnet", "auto", "not enabled"), P("gpt-5.2", "auto", "no key for its provider"),
        P("nonexistent", "fallback", "not a catalogue key"), P("gpt-5.2", "fallback", "no key for its provider"))


def test_last_resort_is_untested_even_when_its_provider_has_a_key():
    prefs = {"enabled_models": []}
    store = RecordingStore({"anthropic", "openai"})
    explained = explain_selection(mr.ModelRouter(mr.ModelRoutingConfig(**prefs), store), D2)
    assert (explained.key, explained.decided_by, store.calls) == ("claude-sonnet", "last_resort", [])
    assert [p.reason for p in explained.passed_over] == ["not enabled"] * 3
    # enabled but without a key: tested, passed over, and still the last resort
    explained = check(router_for({"enabled_models": ["claude-sonnet"]}, set()), D2, None,
                      {"enabled_models": ["claude-sonnet"]}, set())
    assert explained.passed_over[-1] == P("claude-sonnet", "fallback", "no key for its provider")


CHOICES = [None, "", "auto", "AUTO", " claude-haiku", "unknown", *KEYS]
DESCRIPTIONS = [D1, D2, D3, "hi", "Check the weather for tomorrow in Lisbon please", " ".join(["item"] * 30)]


@st.composite
def scenarios(draw):
    prefs = {"enabled_models": draw(st.lists(st.sampled_from([*KEYS, "unknown"]), unique=True)),
             "cost_conscious": draw(st.booleans()),
             "default_worker_model": draw(st.sampled_from(CHOICES)),
             "default_scheduler_model": draw(st.sampled_from(CHOICES))}
    return (prefs, draw(st.sets(st.sampled_from(["anthropic", "openai"]))), draw(st.sampled_from(DESCRIPTIONS)),
            draw(st.sampled_from(CHOICES)), draw(st.booleans()))


@given(scenarios())
def test_matches_the_model_and_leaves_the_call_as_it_was(scenario):
    prefs, providers, description, model_key, scheduler = scenario
    plain, watched = router_for(prefs, providers), router_for(prefs, providers)
    select = plain.select_for_scheduler if scheduler else plain.select_for_worker
    with router_log_lines() as plain_lines:
        spec = select(description, model_key)
    with router_log_lines() as watched_lines:
        explained = check(watched, description, model_key, prefs, providers, scheduler)
    # the same call: the same record, log lines and questions to the store; nothing left behind
    assert explained.spec is spec and watched_lines == plain_lines
    assert watched._secrets.calls == plain._secrets.calls
    assert vars(watched).keys() == vars(plain).keys()
    # The plain-Python router is explained from its calls alike, except that its steps are not
    # the router's own: of them, only the models they tested and found unusable are claimed.
    model = reference.ReferenceRouter(mr.ModelRoutingConfig(**prefs), RecordingStore(providers))
    seen = tuple(p for p in explained.passed_over
                 if p.stage in ("explicit", "default") or p.reason == "no key for its provider")
    assert explain_selection(model, description, model_key, scheduler=scheduler) == dataclasses.replace(
        explained, passed_over=seen)


def test_errors_of_the_call_come_through_and_nothing_is_left_behind():
    class Failing(RecordingStore):
        def has_key(self, provider):
            raise LookupError(provider)

    router = mr.ModelRouter(secrets=Failing())
    before = dict(vars(router))
    with pytest.raises(LookupError, match="anthropic"):
        explain_selection(router, D1)
    with pytest.raises(TypeError, match=r"Argument 'task_description' has incorrect type \(expected str, got int\)"):
        explain_selection(router, 5)
    with pytest.raises(TypeError, match=r"Argument 'model_key' has incorrect type"):
        explain_selection(router, D1, b"claude-opus", scheduler=True)
    router = router_for({"default_worker_model": 5}, {"anthropic"})
    with pytest.raises(TypeError, match="expected str, got int"):
        explain_selection(router, D1)
    assert vars(router).keys() == before.keys()


def test_a_router_that_takes_a_new_instance_dictionary_mid_call_is_left_as_it_was():
    class Moving(mr.ModelRouter):
        def _is_available(self, spec):
            self.__dict__ = dict(self.__dict__)  # a copy, wrappers and all
            return super()._is_available(spec)

    router = Moving(secrets=RecordingStore({"anthropic"}))
    first = explain_selection(router, D1)
    assert not set(WATCHED) & set(vars(router))
    assert explain_selection(router, D1) == first


class Hostile(str):
    """A str subclass whose comparisons, hash and truth test raise."""

    def _refuse(self, *args):
        raise RuntimeError("hostile")
    __eq__ = __ne__ = __hash__ = __bool__ = __len__ = _refuse  # type: ignore[assignment]


@pytest.mark.parametrize("scheduler", [False, True], ids=["worker", "scheduler"])
@pytest.mark.parametrize("make, args", [
    (lambda: router_for({}, {"anthropic"}), (D1, Hostile("claude-opus"))),
    (lambda: router_for({}, {"anthropic"}), (D1, Hostile("auto"))),
    (lambda: router_for({}, {"anthropic"}), (D1, 5)),
    (lambda: router_for({}, {"anthropic"}), (Hostile(D1), Hostile("auto"))),
    (lambda: router_for({}, {"anthropic"}), (b"a description", None)),
    (lambda: router_for({}, {"anthropic"}, reference.ReferenceRouter), (D1, Hostile("claude-opus"))),
    (lambda: None, (D1, None)),
    (lambda: object(), (D1, None)),
], ids=["hostile key", "hostile auto", "int key", "hostile description", "bytes description",
        "plain-Python router", "None", "object"])
def test_an_argument_the_call_refuses_raises_the_call_s_error(make, args, scheduler):
    # Nothing of the arguments' own code runs before the call has checked them.
    router = make()
    before = dict(getattr(router, "__dict__", {}))
    wanted = _outcome(lambda: getattr(router, "select_for_scheduler" if scheduler else "select_for_worker")(*args))
    assert wanted[0] != "returned"
    assert _outcome(lambda: explain_selection(router, *args, scheduler=scheduler)) == wanted
    assert getattr(router, "__dict__", {}).keys() == before.keys()


def test_a_broken_pattern_raises_what_the_classifier_raises(patterns):
    mr._COMPLEX_PATTERNS.append("(")
    router = router_for({}, {"anthropic"})
    with pytest.raises(re.error, match="missing \\)"):
        explain_selection(router, D3)
    # a subclass that never classifies: the explanation's own classification raises the same
    class Unclassified(mr.ModelRouter):
        def select_for_worker(self, task_description, model_key=None):
            return self._select_for_complexity(mr.Complexity.SIMPLE)

    router = router_for({}, {"anthropic"}, Unclassified)
    with pytest.raises(re.error, match="missing \\)"):
        explain_selection(router, D3)
    assert not set(WATCHED) & set(vars(router))


# --- subclasses and patches --------------------------------------------------------------------

def test_overrides_take_effect_and_are_explained_as_seen():
    class Aliases(mr.ModelRouter):
        def get_model(self, model_key):
            return super().get_model({"opus": "claude-opus"}.get(model_key, model_key))

    explained = explain_selection(router_for({}, {"anthropic"}, Aliases), D1, "opus")
    assert (explained.key, explained.decided_by, explained.passed_over) == ("claude-opus", "explicit", ())

    class NoOpus(mr.ModelRouter):
        def _is_available(self, spec):
            return spec.id != "claude-opus-4-6" and super()._is_available(spec)

    explained = explain_selection(router_for({}, {"anthropic"}, NoOpus), D2)
    assert (explained.key, explained.passed_over) == ("claude-sonnet", (P("claude-opus", "auto", "no key for its provider"),))

    class Own(mr.ModelRouter):  # chooses by itself: nothing it did not test is claimed passed over
        def _select_for_complexity(self, complexity):
            return mr.AVAILABLE_MODELS["gpt-5.2"]

    explained = explain_selection(router_for({"enabled_models": ["gpt-5.2"]}, {"anthropic"}, Own), D2, "claude-opus")
    assert (explained.key, explained.decided_by) == ("gpt-5.2", "auto")
    assert explained.passed_over == (P("claude-opus", "explicit", "not enabled"),)
    assert explained.complexity.tier is mr.Complexity.COMPLEX

    class Cheaper(mr.ModelRouter):  # another tier for the router's step: only what was seen to be tested
        def _select_for_complexity(self, complexity):
            return super()._select_for_complexity(mr.Complexity.SIMPLE)

    explained = explain_selection(router_for({"enabled_models": ["claude-sonnet"]}, {"anthropic"}, Cheaper), D2)
    assert (explained.key, explained.decided_by, explained.passed_over) == ("claude-sonnet", "auto", ())

    class ByText(mr.ModelRouter):  # the tier's text finds the tier's candidates, as in the router
        def select_for_worker(self, task_description, model_key=None):
            return self._select_for_complexity(mr.classify_complexity(task_description).value)

    explained = explain_selection(router_for({"enabled_models": ["claude-sonnet"]}, {"anthropic"}, ByText), D2)
    assert explained.passed_over == (P("claude-opus", "auto", "not enabled"),)

    class Fixed(mr.ModelRouter):
        def select_for_worker(self, task_description, model_key=None):
            return mr.AVAILABLE_MODELS["claude-haiku"]

    router = router_for({}, set(), Fixed)
    explained = explain_selection(router, D2, "gpt-5.2")
    assert (explained.key, explained.decided_by, explained.passed_over, explained.complexity) == (
        "claude-haiku", "auto", (), None)
    assert not set(WATCHED) & set(vars(router))


def test_instance_patches_are_called_and_kept():
    router = router_for({}, {"anthropic"})
    patched = router.get_model = lambda model_key: None
    explained = explain_selection(router, D1, "claude-haiku")
    assert explained.passed_over[0] == P("claude-haiku", "explicit", "no key for its provider")
    assert vars(router)["get_model"] is patched

    # a patch put in place while an explanation runs stays after it
    replacement = []

    class Patching(RecordingStore):
        def has_key(self, provider):
            if not replacement:
                replacement.append(lambda spec: False)
                router._is_available = replacement[0]
            return super().has_key(provider)

    router = mr.ModelRouter(secrets=Patching({"anthropic"}))
    explain_selection(router, D1)
    assert vars(router)["_is_available"] is replacement[0]
    assert not {"get_model", "_select_for_complexity", "_get_fallback"} & set(vars(router))


def test_nested_explanations_on_one_thread():
    inner = []

    class Reentrant(RecordingStore):
        def has_key(self, provider):
            if not self.calls:  # the outer selection's first question: explain another one
                self.calls.append("inner")
                inner.append(explain_selection(router, D3, "claude-haiku", scheduler=True))
            return super().has_key(provider)

    router = mr.ModelRouter(secrets=Reentrant({"anthropic"}))
    outer = explain_selection(router, D2)
    assert (outer.key, outer.decided_by, outer.passed_over) == ("claude-opus", "auto", ())
    assert (inner[0].key, inner[0].decided_by, inner[0].complexity) == ("claude-haiku", "explicit", None)
    assert not set(WATCHED) & set(vars(router))


# --- threads -----------------------------------------------------------------------------------

class SlowStore(RecordingStore):
    """Gives other threads the interpreter at every question."""

    def has_key(self, provider):
        time.sleep(0.0005)
        return provider in self.providers


@pytest.fixture
def short_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def _run_threads(targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []


@pytest.mark.parametrize("explainers", [1, 4])
def test_threads_use_and_explain_one_router_at_once(short_switches, explainers):
    prefs = {"enabled_models": ["unknown", "claude-haiku", "claude-sonnet", "gpt-5.2"], "cost_conscious": True,
             "default_worker_model": "claude-opus"}
    router = mr.ModelRouter(mr.ModelRoutingConfig(**prefs), SlowStore({"anthropic"}))
    cases = [(d, k, s) for d in (D1, D2, D3) for k in (None, "gpt-5.2", "claude-sonnet") for s in (False, True)]

    def explain():
        for description, key, scheduler in cases * 3:
            check(router, description, key, prefs, {"anthropic"}, scheduler)

    def use():  # plain calls, by position and by keyword, meanwhile
        for _ in range(40):
            assert router.select_for_worker(task_description=D2, model_key="gpt-5.2") is mr.AVAILABLE_MODELS[
                "claude-sonnet"]
            assert router.get_model(model_key="claude-haiku") is mr.AVAILABLE_MODELS["claude-haiku"]
            assert router._is_available(spec=mr.AVAILABLE_MODELS["gpt-5.2"]) is False
            assert router._select_for_complexity(complexity=mr.Complexity.SIMPLE).display_name == "Claude Haiku"
            assert router._get_fallback() is mr.AVAILABLE_MODELS["claude-haiku"]
            with pytest.raises(TypeError, match=r"get_model\(\) takes exactly 2 positional arguments \(1 given\)"):
                router.get_model()

    _run_threads([explain] * explainers + [use] * 2)
    assert sorted(vars(router)) == ["_config", "_secrets", "_usage_stats"]
