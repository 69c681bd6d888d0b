"""Spans and the enlarged pattern language against Python's re.

halvec._patterns.search(patterns, text) answers what the classifier and the
explanations ask: the first entry that matches, and where, as
re.search(entry, text).span() reports it. Every answer here is checked against
re itself, over random patterns written with everything the engine decides
(sets, groups of every kind, anchors, lazy repetition, inline and scoped
flags) and entries it hands to re, mixed in one list.
"""

import re
import warnings

import pytest
from hypothesis import example, given, strategies as st

from halvec import _patterns


def re_search(patterns, text):
    for index, pattern in enumerate(patterns):
        found = re.search(pattern, text)
        if found:
            return (index, *found.span())
    return None


def compiles_quietly(pattern):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            re.compile(pattern)
    except (re.error, Warning, RecursionError, OverflowError):
        return False
    return True


CHARS = list("abcxyz") + [" ", "-", "_", "é", "5", "\n", "A", "Z", "İ", "\u212a", "\t", "٣", "ß", "ſ", "ı"]
SET_ITEMS = st.one_of(
    st.sampled_from(list("abcxyz5é-_") + [r"\d", r"\D", r"\w", r"\W", r"\s", r"\S", r"\n", r"\]", r"\-"]),
    st.tuples(st.sampled_from("a5éA"), st.sampled_from("cz9ÿ")).map("-".join))
ANCHORS = [r"\b", r"\B", "^", "$", r"\A", r"\Z"]
OPENERS = ["(", "(?:", "(?P<g>", "(?s:", "(?m:", "(?a:", "(?-s:", "(?i:", "(?-i:", "(?#note)("]
QUANTIFIERS = ["", "", "", "*", "+", "?", "{2}", "{1,3}", "{,2}", "{2,}"]


@st.composite
def atoms(draw, depth):
    kind = draw(st.integers(0, 9))
    if kind < 4:
        return re.escape(draw(st.sampled_from(CHARS)))
    if kind == 4:
        return draw(st.sampled_from([".", r"\d", r"\D", r"\s", r"\S", r"\w", r"\W"]))
    if kind in (5, 6):
        negated = draw(st.sampled_from(["", "", "^"]))
        return "[" + negated + "".join(draw(st.lists(SET_ITEMS, min_size=1, max_size=3))) + "]"
    if depth >= 2:
        return draw(st.sampled_from(list("abc")))
    alternatives = draw(st.lists(sequences(depth + 1), min_size=1, max_size=3))
    opener = draw(st.sampled_from(OPENERS))
    return opener.replace("<g>", f"<g{draw(st.integers(0, 10**6))}>") + "|".join(alternatives) + ")"


@st.composite
def sequences(draw, depth=0):
    pieces = []
    for _ in range(draw(st.integers(0, 3))):
        if draw(st.integers(0, 5)) == 0:
            pieces.append(draw(st.sampled_from(ANCHORS)))
            continue
        atom = draw(atoms(depth))
        quantifier = draw(st.sampled_from(QUANTIFIERS))
        if atom.startswith("(") and quantifier in ("*", "+", "{2,}"):
            quantifier = "?"  # unbounded repeats of groups make re itself exponential
        if quantifier and draw(st.booleans()):
            quantifier += "?"
        pieces.append(atom + quantifier)
    return "".join(pieces)


patterns = st.tuples(st.sampled_from(["", "", "", "(?s)", "(?m)", "(?a)", "(?i)", "(?im)", "(?ia)", "(?si)"]),
                     sequences()).map("".join).filter(compiles_quietly)
# Entries the engine leaves to re, mixed into the lists.
re_entries = st.sampled_from([r"(a)\1", r"(?=b)b", r"(?<=a)b", r"a*+b", r"(?>a|ab)c", r"(a)?(?(1)b|c)",
                              r"(?x) a b", r"\N{LATIN SMALL LETTER E WITH ACUTE}"])
texts = st.lists(st.sampled_from(CHARS + ["\r", "\x85", "\u2028", "K", "k", "s", "S", "ẞ", "😀", "\ud800"]),
                 max_size=14).map("".join)


@given(st.lists(st.one_of(patterns, patterns, re_entries), min_size=1, max_size=3), texts)
@example([r"\b(analy[sz]e|optimi[sz]ation)\b"], "we analyse it")
@example(["(?:a|ab)(?:c|bcd)(?:d*)"], "abcd")  # leftmost-first, not longest
@example([r"a+?b*?", r"x"], "aab")
@example([r"$", r"\Z"], "ab\n")  # $ before a final line break
@example([r"(?m)^b", r"^b"], "a\nb")
@example([r"(?i)k"], "\u212a")
@example([r"(?i)[^k]"], "\u212a")
@example([r"(?i)ss"], "ß")  # re folds one character at a time
@example([r"(?i)st"], "ſt")
def test_first_entry_and_span_agree_with_re(entries, text):
    assert _patterns.search(entries, text) == re_search(entries, text)


@pytest.mark.parametrize("pattern", [
    r"[a-z]", r"[^\s]+", r"[\d\W]", r"[a\-z]", r"[]a]", r"(?:ab)+", r"(?P<name>a)|b", "^a", "a$",
    r"\Aa", r"a\Z", "a*?b", "a+?", "a??", "a{1,3}?", "(?s).", "(?m)^a$", r"(?a)\w", "(?i)ab",
    r"(?i:a)b", r"(?i)(?-i:a)b", "(?#a comment)a", r"\b(analy[sz]e|optimi[sz]ation)\b",
])
def test_what_needs_no_backtracking_is_decided_natively(pattern):
    assert _patterns.covers(pattern)


@pytest.mark.parametrize("pattern", [
    r"(a)\1", r"(?P<x>a)(?P=x)", "(?=a)", "(?!a)", "(?<=a)b", "(?<!a)b", "(a)?(?(1)b|c)", "(?>ab)",
    "a*+", "a++", "a?+", "a{1,2}+",
    # re's own quirks and warnings: left to re, which gives its exact answer.
    "[[:alpha:]]", "(?x)a b", "(?L)a", "(?a:x)y",
    # not patterns at all: re raises
    "(", "[a", "a{2,1}", "*a", r"\p{L}", "(?i", "a)",
])
def test_what_the_engine_cannot_decide_exactly_goes_to_re(pattern):
    assert not _patterns.covers(pattern)


@given(st.lists(st.sampled_from(list("ab()[]{}^$.*+?|\\-:=!<>PiLsmuxa#,0123dDwWsSbBAZ"))).map("".join))
def test_the_engine_never_accepts_what_re_rejects(pattern):
    # Pattern-shaped garbage: the engine takes an entry only if re compiles it
    # without a warning, and any entry gives re's own answer or re's own error.
    if _patterns.covers(pattern):
        assert compiles_quietly(pattern)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            wanted = re_search([pattern], "ab(a)-[b] 0ZA")
    except re.error as error:
        with pytest.raises(re.error, match=re.escape(str(error))):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                _patterns.search([pattern], "ab(a)-[b] 0ZA")
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            assert _patterns.search([pattern], "ab(a)-[b] 0ZA") == wanted


# One text of each storage kind: the same words, widened by one character.
STORAGE = {"ascii": "", "latin-1": "\xe9", "ucs-2": "\u3042", "ucs-4": "\U0001f600"}


@pytest.mark.parametrize("wide", STORAGE.values(), ids=STORAGE.keys())
@pytest.mark.parametrize("entries", [
    [r"\b(research|compare.*and.*contrast|investigate)\b"], [r"[^\W\d]+\d"], [r"(?i)[A-Z]{3,}?"],
    [r"x\Z", r"(?:y|z)+$"], [r"\W(?:and|or)\W", r"[^\x00-\x7f]"],
])
def test_every_storage_kind_gives_re_s_span(wide, entries):
    for text in ["compare apples and oranges", "call 911 now", "ABCDE fgh", "xyz\n", "a and b"]:
        for placed in (wide + text, text + wide, text[:5] + wide + text[5:]):
            assert _patterns.search(entries, placed) == re_search(entries, placed), (entries, placed)


@pytest.mark.parametrize("entries, text", [
    # The classifier lower-cases first; spans are in that text, whose length
    # may differ from the original (U+0130 lower-cases to two characters).
    ([r"\bi\b", r"i\u0307"], "\u0130".lower() + " x"),
    ([r"σ\b", r"ς\b"], "ΟΔΟΣ ΕΝΑ".lower()),  # final sigma
    ([r"\bk\b"], "\u212a".lower() + " k"),  # the Kelvin sign
    ([r"(?i)\u0130", r"(?i)i"], "i\u0307 İ"),
    ([r"(?i)σ+"], "ΣσςϹ"), ([r"(?i)[σ]+"], "ΣσςϹ"), ([r"(?i)ς"], "Σ"),
    ([r"(?i)\u1e9e"], "ß"), ([r"(?i)[k-k]"], "\u212a"), ([r"(?ia)k"], "\u212a"), ([r"(?i)\xb5"], "μΜ"),
    ([r"(?i)ﬀ"], "ff"), ([r"(?i)\U00010400"], "\U00010428"), ([r"(?i)[\U00010400-\U00010410]"], "\U00010428"),
])
def test_case_rules_are_re_s_own(entries, text):
    assert _patterns.search(entries, text) == re_search(entries, text)


P3 = r"\b(research|compare.*and.*contrast|investigate)\b"


# Texts on which re takes seconds or more: the spans are written out.
@pytest.mark.parametrize("entries, text, found", [
    ([P3], "compare and " * 2000 + "research", (0, 24000, 24008)),
    ([r"(?:a|b)*?d", P3], "ab" * 50_000 + " research", (1, 100_001, 100_009)),
    ([r"\b(?:every.*day)\b"], "every " * 10_000 + "\n" + "day", None),
    ([r"(?s)\b(?:every.*day)\b"], "every " * 10_000 + "\n" + "day", (0, 0, 60_004)),
    ([r"[a-z]+\d"], "abc" * 30_000, None),
])
def test_spans_on_texts_that_make_re_backtrack(entries, text, found):
    assert _patterns.search(entries, text) == found


def test_entries_reach_re_in_list_order_with_re_s_errors():
    assert _patterns.search([r"\bfoo\b", "(unclosed"], "a foo") == (0, 2, 5)
    with pytest.raises(re.error, match="missing \\), unterminated subpattern"):
        _patterns.search(["(unclosed", r"\bfoo\b"], "a foo")
    with pytest.raises(TypeError):
        _patterns.search([r"\bbar\b", 7, r"\bfoo\b"], "a foo")
    assert _patterns.search([re.compile("o+")], "a foo") == (0, 3, 5)
    assert _patterns.search(iter([r"x", r"(?<=f)o"]), "a foo") == (1, 3, 4)
    assert _patterns.search([], "a foo") is None


# --- memory and interruption ------------------------------------------------------------------

@pytest.fixture
def hooks(pattern_hooks):
    return pattern_hooks


SPAN_TEXTS = ["we analyse the optimisation of it", "call 911 or 112 now", "x y z", "aaa\nbbb xyz",
              "ab" * 3000 + " research " + "ba" * 3000]
SPAN_LISTS = {
    "engine only": [r"\b(analy[sz]e|optimi[sz]ation)\b", r"(?i)[a-z]+?\d{2,}", r"(?:x|y)+z$"],
    "mixed with re": [r"(a)\1\1", r"(?<=b)research", r"(?s)\w+\s(?:\w+)?$", P3],
}


@pytest.mark.parametrize("entries", SPAN_LISTS.values(), ids=SPAN_LISTS.keys())
def test_allocation_failure_at_every_point_leaves_span_search_consistent(hooks, entries):
    expected = [re_search(entries, t) for t in SPAN_TEXTS]
    hooks.clear_caches()
    start = hooks.allocations()
    assert [_patterns.search(entries, t) for t in SPAN_TEXTS] == expected
    needed = hooks.allocations() - start
    failures = 0
    for nth in range(1, needed + 1):
        hooks.clear_caches()
        hooks.fail_allocation(nth)
        try:
            answers = [_patterns.search(entries, t) for t in SPAN_TEXTS]
        except MemoryError:
            failures += 1
        else:
            assert answers == expected, nth
        hooks.fail_allocation(0)
        assert [_patterns.search(entries, t) for t in SPAN_TEXTS] == expected, nth
    assert failures > needed // 2


def test_allocation_failure_while_explaining(hooks, patterns):
    from halvec.explain import ComplexityExplanation
    patterns._COMPLEX_PATTERNS[:] = [r"(a)\1\1", r"\b(analy[sz]e|optimi[sz]ation)\b"]
    text = "please analyse the optimisation report for me"
    wanted = _patterns.make_explainer(ComplexityExplanation)(text)
    assert wanted.span == (7, 14)
    for nth in range(1, 200, 3):
        explain = _patterns.make_explainer(ComplexityExplanation)  # with empty caches
        hooks.fail_allocation(nth)
        try:
            got = explain(text)
        except MemoryError:
            pass
        else:
            assert got == wanted, nth
        hooks.fail_allocation(0)
        assert explain(text) == wanted, nth


@pytest.mark.parametrize("budget", [16 * 1024, 256 * 1024])
def test_spans_hold_within_a_small_budget(hooks, budget):
    hooks.set_budget(budget)
    entries = [r"(?:[a-f]|x[0-9])+?y{2}$", r"(?i)\b(?:q[a-z]{3}|z)+\b", r"[^\s]{3}\d"]
    rng = __import__("random").Random(7)
    for _ in range(20):
        text = "".join(rng.choice("abcdefx0123456789yQzZ \n") for _ in range(rng.randint(0, 3000)))
        assert _patterns.search(entries, text) == re_search(entries, text)
        assert hooks.memory_in_use() < 2 * budget + (1 << 20)


def test_a_long_span_search_is_interrupted_by_a_signal(python):
    # A handler that raises ends the call with its exception, wherever the
    # search is; the next call answers as before.
    out = python("""
        import signal, halvec._patterns as p
        text = "ab" * 10_000_000 + " research"
        entries = [r"(?:a|b|c)*?(?:d|f)", r"\\b(?:research|compare.*contrast)\\b"]
        class Stop(Exception):
            pass
        def handler(signum, frame):
            raise Stop
        signal.signal(signal.SIGALRM, handler)
        stopped = 0
        for delay in (0.001, 0.01, 0.05):
            signal.setitimer(signal.ITIMER_REAL, delay)
            try:
                p.search(entries, text)
            except Stop:
                stopped += 1
            signal.setitimer(signal.ITIMER_REAL, 0)
        print(stopped, p.search(entries, text))
    """, timeout=600)
    assert out.split()[0] != "0"
    assert out.strip().endswith("(1, 20000001, 20000009)")
