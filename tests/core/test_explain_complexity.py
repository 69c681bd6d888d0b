"""explain_complexity: the classifier's tier, and the rule, entry and span that decided it."""

import collections
import dataclasses
import re
import weakref

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from halvec import ComplexityExplanation, explain_complexity

THRESHOLDS = {"word_count > 60", "tool_count > 4", "word_count > 25", "tool_count > 2",
              "word_count < 15 and tool_count <= 1", "word_count >= 15", "tool_count > 1"}


def check_explanation(mr, text, tool_count=0):
    """The record against classify_complexity and against re, field by field."""
    got = explain_complexity(text, tool_count)
    assert got.tier is mr.classify_complexity(text, tool_count)
    normalised = text.lower().strip()
    assert (got.length, got.word_count, got.tool_count) == (len(normalised), len(normalised.split()), tool_count)
    lists = {"complex": list(mr._COMPLEX_PATTERNS), "simple": list(mr._SIMPLE_PATTERNS)}
    hits = {name: [i for i, p in enumerate(entries) if re.search(p, normalised)] for name, entries in lists.items()}
    if len(normalised) < 20:
        assert got.rule == "length"
    elif hits["complex"] or hits["simple"]:
        name = "complex" if hits["complex"] else "simple"
        index = hits[name][0]
        entry = lists[name][index]
        span = re.search(entry, normalised).span()
        assert (got.rule, got.pattern_list, got.pattern_index, got.span, got.match) == (
            f"{name}_pattern", name, index, span, normalised[span[0]:span[1]])
        assert got.pattern is entry
    else:
        assert got.rule == "counts" and got.threshold in THRESHOLDS
    if got.rule != "counts":
        assert got.threshold is None
    if not got.rule.endswith("_pattern"):
        assert got.pattern_list is got.pattern_index is got.pattern is got.span is got.match is None
    return got


@pytest.mark.parametrize("text, tools, rule, detail", [
    ("Research the market", 0, "length", None),  # 19 characters
    ("Research the market.", 0, "complex_pattern", (2, "research")),
    ("  Refactor the parser\n", 7, "length", None),
    ("Check the stock market before noon", 0, "complex_pattern", (8, "stock")),
    ("Analyze the logs carefully", 0, "complex_pattern", (1, "analyze")),
    ("Hello, could you look at this", 9, "simple_pattern", (0, "hello")),
    (" ".join(["word"] * 61), 0, "counts", "word_count > 60"),
    (" ".join(["word"] * 60), 5, "counts", "tool_count > 4"),
    (" ".join(["word"] * 26), 0, "counts", "word_count > 25"),
    (" ".join(["word"] * 25), 3, "counts", "tool_count > 2"),
    (" ".join(["word"] * 14), 1, "counts", "word_count < 15 and tool_count <= 1"),
    (" ".join(["word"] * 14), 2, "counts", "tool_count > 1"),
    (" ".join(["word"] * 15), -4, "counts", "word_count >= 15"),
])
def test_each_rule_says_what_decided(mr, text, tools, rule, detail):
    got = check_explanation(mr, text, tools)
    assert got.rule == rule
    if rule.endswith("_pattern"):
        assert (got.pattern_index, got.match) == detail
    elif rule == "counts":
        assert got.threshold == detail


P3 = r"\b(research|compare.*and.*contrast|investigate)\b"


def test_a_text_that_makes_re_backtrack_is_explained_in_linear_time(mr):
    got = explain_complexity("Compare and " * 2000 + "research")
    assert (got.rule, got.pattern_index, got.pattern, got.span, got.match) == (
        "complex_pattern", 2, P3, (24000, 24008), "research")


def test_spans_are_in_the_lower_cased_text(mr):
    # U+0130 lower-cases to two characters: every later offset moves by one.
    got = check_explanation(mr, "\u0130\u0130 please research this for me")
    assert got.span == (12, 20) and got.length == 32
    check_explanation(mr, "\u212a\u212a \u03a3\u03a3 research the ΟΔΟΣ question")  # Kelvin, final sigma


WORDS = ["research", "compare", "and", "contrast", "analyze", "analyse", "stock", "hello", "thanks",
         "every", "day", "in-depth", "500", "word", "check", "list", "the", "a", "İ", "\u212a", "ΟΔΟΣ", "日本語"]
SPACES = [" ", "  ", "\n", "\t", "\u3000", "-", ""]
texts = st.lists(st.tuples(st.sampled_from(WORDS), st.sampled_from(SPACES)), max_size=70).map(
    lambda parts: "".join(w + s for w, s in parts))
# Entries for the engine and for re, in any order.
entries = st.sampled_from([
    r"\b(analy[sz]e|optimi[sz]ation)\b", r"(?:every|each)\s+day", r"\bcheck\b", r"^hello", r"day$",
    r"(?i)STOCK", r"[0-9]{3,}\s*word", r"\bthe\b.*?\ba\b", r"(the) \1", r"(?<=and )contrast",
    r"compare(?=.*contrast)", "日本", r"\w+\Z",
])
entry_lists = st.one_of(st.none(), st.lists(entries, max_size=4))


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(texts, st.integers(-2, 7), entry_lists, entry_lists)
@example("check the stock market before noon and every day", 0, [r"(the) \1", r"\bthe\b.*?\ba\b"], [])
def test_the_record_agrees_with_the_classifier_and_with_re(patterns, text, tools, complex_list, simple_list):
    if complex_list is not None:
        patterns._COMPLEX_PATTERNS[:] = complex_list
    if simple_list is not None:
        patterns._SIMPLE_PATTERNS[:] = simple_list
    check_explanation(patterns, text, tools)


BAD_CALLS = [((5,), {}), (("x", "y"), {}), ((5, "x"), {}), (("x", float("nan")), {}), (("x", None), {}),
             (("x", float("inf")), {}), ((), {}), (("a", 1, 2), {}), (("a",), {"tools": 1}),
             (("a",), {"prompt": "b"}), ((), {"tool_count": 2}), ((b"bytes",), {})]


@pytest.mark.parametrize("args, kwargs", BAD_CALLS)
def test_bad_arguments_raise_what_the_classifier_raises(mr, args, kwargs):
    with pytest.raises(Exception) as classified:
        mr.classify_complexity(*args, **kwargs)
    with pytest.raises(type(classified.value)) as explained:
        explain_complexity(*args, **kwargs)
    assert str(explained.value) == str(classified.value).replace("classify_complexity", "explain_complexity")


def test_bad_list_entries_raise_what_the_classifier_raises(patterns):
    text = "please write the quarterly summary for the board"
    for entries, error in [([r"\bzzz\b", 7], TypeError), (["(unclosed"], re.error), ([b"bytes"], TypeError)]:
        patterns._COMPLEX_PATTERNS[:] = entries
        with pytest.raises(error) as classified:
            patterns.classify_complexity(text)
        with pytest.raises(error, match=re.escape(str(classified.value))):
            explain_complexity(text)
    del patterns._SIMPLE_PATTERNS
    patterns._COMPLEX_PATTERNS[:] = []
    with pytest.raises(NameError, match="_SIMPLE_PATTERNS"):
        explain_complexity(text)


def test_the_record_is_frozen_and_compares_by_value(mr):
    got = explain_complexity("Check the stock market before noon")
    assert isinstance(got, ComplexityExplanation)
    with pytest.raises(dataclasses.FrozenInstanceError):
        got.rule = "length"  # type: ignore[misc]
    assert got == explain_complexity("Check the stock market before noon")
    assert hash(got) == hash(explain_complexity("Check the stock market before noon"))
    assert dataclasses.replace(got, tool_count=3).tool_count == 3


# --- the record class ------------------------------------------------------------------------
#
# Records are made as object.__new__ makes them and filled through the fields' slots; a class
# whose instances need more than that (a built-in base sets up its part in its own __new__)
# would give records that crash the interpreter at their first use, so it is refused.

FIELDS = ComplexityExplanation.__slots__


def record_class(*bases, slots=FIELDS, metaclass=type, **namespace):
    return metaclass("R", bases, {"__slots__": slots, **namespace})


class ForeignSlots(type):
    """A metaclass that answers `R.tier` with another class's slot."""

    def __getattribute__(cls, name):
        return ComplexityExplanation.__dict__["tier"] if name == "tier" else super().__getattribute__(name)


REFUSED = {
    "dict": lambda: record_class(dict), "set": lambda: record_class(set),
    "Exception": lambda: record_class(Exception), "deque": lambda: record_class(collections.deque),
    "list": lambda: record_class(list), "str": lambda: record_class(str),
    "a __new__ of its own": lambda: record_class(__new__=lambda cls, *args: object.__new__(cls)),
    "a slot more": lambda: record_class(slots=(*FIELDS, "extra")),
    "a slot less": lambda: record_class(slots=FIELDS[1:]),
    "another class's slot": lambda: record_class(metaclass=ForeignSlots),
    "not a class": lambda: ComplexityExplanation.__new__,
}


@pytest.mark.parametrize("make", REFUSED.values(), ids=REFUSED.keys())
def test_a_record_class_it_cannot_fill_is_refused(make):
    from halvec import _patterns
    with pytest.raises(TypeError, match=r"^make_explainer\(\) takes a class") as refused:
        _patterns.make_explainer(make())
    assert "\n" not in str(refused.value)


def test_a_subclass_with_a_dict_and_weakrefs_is_filled(mr):
    from halvec import _patterns

    class Open(ComplexityExplanation):
        pass
    got = _patterns.make_explainer(Open)("Check the stock market before noon")
    assert type(got) is Open and vars(got) == {}
    assert got == Open(*(getattr(got, name) for name in FIELDS))
    assert weakref.ref(got)() is got


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(texts, max_size=8), entry_lists)
def test_a_batch_is_explained_as_each_description_is(patterns, descriptions, complex_list):
    from halvec import _patterns
    if complex_list is not None:
        patterns._COMPLEX_PATTERNS[:] = complex_list
    facts, spans = _patterns.make_batch_explainer()(descriptions)
    records = [explain_complexity(d) for d in descriptions]
    assert facts == [(r.tier, r.rule, r.pattern_list, r.pattern_index) for r in records]
    assert spans == [r.span for r in records]


def test_a_batch_refuses_what_is_not_a_list_of_str(mr):
    from halvec import _patterns
    explain_batch = _patterns.make_batch_explainer()
    with pytest.raises(TypeError, match="takes a list of str, not tuple"):
        explain_batch(("a description",))
    with pytest.raises(TypeError, match="item 1 is bytes"):
        explain_batch(["a description of some length", b"bytes"])


def test_the_makers_read_nothing_a_caller_can_rebind(monkeypatch):
    # Explainers are laid out in the module's own function type: a name in its
    # namespace bound to another object must not be taken for it.
    from halvec import _patterns
    make_explainer, make_batch_explainer = _patterns.make_explainer, _patterns.make_batch_explainer
    for name in [name for name in vars(_patterns) if not name.startswith("__")] + ["_function_type"]:
        monkeypatch.setattr(_patterns, name, int, raising=False)
    assert make_explainer(ComplexityExplanation)("Check the stock market").rule == "complex_pattern"
    assert make_batch_explainer()(["hello"])[1] == [None]


@pytest.mark.parametrize("maker", ["make_explainer", "make_batch_explainer"])
def test_an_explainer_made_when_memory_runs_out_is_whole_or_a_memory_error(maker):
    # Each allocation of the making fails in turn: the interpreter's own type
    # maker can fail without an exception, which must not pass as one.
    testcapi = pytest.importorskip("_testcapi")
    from halvec import _patterns
    make = getattr(_patterns, maker)
    args = (ComplexityExplanation,) if maker == "make_explainer" else ()
    for nth in range(200):
        testcapi.set_nomemory(nth, nth + 1)
        try:
            made = make(*args)
        except MemoryError:
            continue
        finally:
            testcapi.remove_mem_hooks()
        answer = made("hello") if args else made(["hello"])
        assert answer == (explain_complexity("hello") if args else _patterns.make_batch_explainer()(["hello"]))
