"""The native pattern engine against Python's re, probed through classify_complexity.

A one-pattern complex list and an empty simple list make the classifier answer
COMPLEX exactly when the pattern matches the normalised text.
"""

import re

import pytest
from hypothesis import HealthCheck, assume, example, given, settings, strategies as st

from test_classifier import COMPLEX_PATTERNS, SIMPLE_PATTERNS

PAD = "~" * 20  # keeps every probe text past the short-text rule


@pytest.fixture
def probe(patterns):
    mr = patterns

    def matches(pattern, text, simple=()):
        mr._COMPLEX_PATTERNS[:] = [pattern] if isinstance(pattern, str) else list(pattern)
        mr._SIMPLE_PATTERNS[:] = list(simple)
        return mr.classify_complexity(text) is mr.Complexity.COMPLEX
    return matches


def expected(pattern, text):
    return re.search(pattern, text.lower().strip()) is not None


CHARS = ["a", "b", "z", " ", "-", "_", "é", "٣", "5", "\n", "x"]
TEXT_CHARS = CHARS + ["A", "É", "İ", "K", "\u212a", "\t", "\u3000", "\x1c", "\x85", "\u2028", "\u00a0",
                      "३", "\U0001d7d8", "\u0301", "\ud800", "\x00", "😀", ".", "ß", "ǅ"]


@st.composite
def subset_patterns(draw, depth=0):
    atoms = [st.sampled_from([re.escape(c) if c in ".-" else c for c in CHARS if c != "\n"]),
             st.just("."), st.sampled_from([r"\d", r"\D", r"\s", r"\S", r"\w", r"\W"])]
    groups = st.lists(subset_patterns(depth=depth + 1), min_size=1, max_size=3).map(
        lambda alts: "(" + "|".join(alts) + ")")
    pieces = []
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.integers(0, 6))
        if kind == 0:
            pieces.append(draw(st.sampled_from([r"\b", r"\B"])))
        elif kind == 1 and depth < 2:
            # Only bounded repeats of groups: unbounded nested repeats make
            # `re` itself take exponential time, and it is the reference here.
            pieces.append(draw(groups) + draw(st.sampled_from(["", "?", "{2}"])))
        else:
            quantifier = draw(st.sampled_from(["", "", "", "*", "+", "?", "{2}", "{2,}", "{1,3}", "{,2}"]))
            pieces.append(draw(st.one_of(atoms)) + quantifier)
    return "".join(pieces)


def unbounded_repeats(pattern):
    """The unbounded repeats (`*`, `+`, `{n,}`) a match of ``pattern`` may try, a group
    repeated `{2}` counting its own twice: the degree of `re`'s backtracking, at most."""
    counts, i = [0], 0
    while i < len(pattern):
        if pattern[i] == "\\":
            i += 1
        elif pattern[i] == "(":
            counts.append(0)
        elif pattern[i] == ")":
            inner = counts.pop()
            counts[-1] += 2 * inner if pattern.startswith("{2}", i + 1) else inner
        elif pattern[i] in "*+" or pattern.startswith(",}", i):
            counts[-1] += 1
        i += 1
    return counts[0]


WHITESPACE = [chr(c) for c in range(0x3001) if chr(c).isspace()]  # every kind there is
texts = st.lists(st.one_of(st.sampled_from(TEXT_CHARS), st.sampled_from(WHITESPACE)),
                 max_size=40).map("".join)


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.filter_too_much])
@given(subset_patterns(), texts, st.booleans())
@example(r"\b(\d{3,}\s*word)\b", "write a 500  word piece", True)
@example(r"\bin.?depth\b", "an in-depth look", True)
@example(r"a\b", "a\u0301", True)  # a combining mark is a word character
def test_random_subset_patterns_agree_with_re(probe, pattern, text, pad_front):
    assume(unbounded_repeats(pattern) <= 6)  # more, and `re` (the reference) may backtrack for hours
    text = PAD + " " + text if pad_front else text + " " + PAD
    assert probe(pattern, text) == expected(pattern, text)


WORDS = ["research", "compare", "and", "contrast", "analyze", "analyzes", "500", "٥٠٠", "word",
         "every", "day", "debug", "complex", "in", "depth", "multi", "step", "hello", "thank", "you",
         "look", "up", "automat", "_automat", "automat_", "É", "İ", "stock"]
SEPARATORS = [" ", "  ", "", "-", "\u0301", "_", "é"] + WHITESPACE


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sampled_from(COMPLEX_PATTERNS + SIMPLE_PATTERNS),
       st.lists(st.tuples(st.sampled_from(WORDS), st.sampled_from(SEPARATORS)), max_size=20))
def test_listed_patterns_agree_with_re(patterns, listed, parts):
    text = PAD + " " + "".join(w + s for w, s in parts)
    patterns._COMPLEX_PATTERNS[:] = [listed]
    patterns._SIMPLE_PATTERNS[:] = []
    assert (patterns.classify_complexity(text) is patterns.Complexity.COMPLEX) == expected(listed, text)


# wide characters whose code points differ by multiples of 512, one of them in a set, the next
# a word character outside it, then a space, a digit and a character of another script
SLOT_MATES = ["\u4e00", "\u4e00\u0200", "\u5000", "\u3000", "\u0663", "\u0e63", "\u0400", "\u0600", "\u0800"]


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sampled_from([r"[\u4e00-\u4e0f]{2}", r"\b[\u4e00\u0400]\w", r"\d\s", r"\W[\u0800]", r"[^\u5000\s]{3}"]),
       st.lists(st.sampled_from(SLOT_MATES), min_size=1, max_size=60).map("".join))
def test_wide_characters_that_share_a_place_in_the_matchers_memory_keep_their_own_class(probe, pattern, text):
    for _ in range(2):  # the second time, the characters are those the matcher remembers
        assert probe(pattern, PAD + text) == expected(pattern, PAD + text)


@pytest.mark.parametrize("pattern", [
    r"[abc]x", r"^ab", r"ab$", r"a*?b", r"(?i)AB", r"\Aab", r"a{x}", r"\n", r"(a)\1", r"a{2,1}x",
])
def test_sets_anchors_lazy_repeats_flags_and_re_entries_agree_with_re(probe, pattern):
    for text in ["ab" + PAD, "cx" + PAD, "a{x}" + PAD, "aaab" + PAD, PAD + "\nab", "aa" + PAD]:
        try:
            wanted = expected(pattern, text)
        except re.error:
            with pytest.raises(re.error):
                probe(pattern, text)
            continue
        assert probe(pattern, text) == wanted


def test_list_order_decides_which_error_is_reached(probe):
    assert probe([r"\bfoo\b", "(unclosed"], "some foo text of length")  # stops before the bad one
    with pytest.raises(re.error):
        probe(["(unclosed", r"\bfoo\b"], "some foo text of length")
    with pytest.raises(TypeError):
        probe([r"\bbar\b", 7, r"\bfoo\b"], "some foo text of length")
    assert probe([r"\bbar\b", "[f]oo", r"\bzzz\b"], "some foo text of length")  # found by re


def test_many_patterns_and_a_full_cache(probe):
    many = [f"\\bword{i}\\b" for i in range(300)]
    assert probe(many, "a text that mentions word299 at the end")
    assert not probe(many, "a text that mentions word300 at the end")
    assert probe(many[:70], "a text that mentions word69 at the end")  # past the combined width


def test_equal_texts_in_a_new_list(patterns):
    mr = patterns
    text = "please research the options carefully"
    assert mr.classify_complexity(text) is mr.Complexity.COMPLEX
    mr._COMPLEX_PATTERNS = ["".join(list(p)) for p in mr._COMPLEX_PATTERNS]  # new, equal objects
    assert mr.classify_complexity(text) is mr.Complexity.COMPLEX


P1 = r"\b(architect|design system|refactor|multi.?step|comprehensive|in.?depth)\b"
P2 = r"\b(analyze|debug.*complex|plan.*project|write.*report)\b"
P3 = r"\b(research|compare.*and.*contrast|investigate)\b"
P7 = r"\b(every.*day|daily|weekly|schedule|cron|automat)\b"


# Inputs that make a backtracking engine take seconds to minutes; the answers
# are written out, since asking `re` would take that long.
@pytest.mark.parametrize("pattern, text, found", [
    (P3, "compare and " * 2000, False),
    (P3, "compare and " * 2000 + "contrast", True),
    (P2, "debug " * 5000, False),
    (P7, "every " * 10000 + "\n" + "day", False),
    (P7, "every " * 10000 + "day", True),
    (r"x{30}", "\ud800" * 5000 + "x" * 30, True),
    (P3, "\x00" * 100 + "research", True),
    (P1, "\U0001F600a " * 3000 + "in depth", True),
])
def test_long_and_strange_texts(patterns, pattern, text, found):
    mr = patterns
    mr._COMPLEX_PATTERNS[:] = []
    mr._SIMPLE_PATTERNS[:] = [pattern]  # a match makes a many-word text simple
    assert (mr.classify_complexity(text) is mr.Complexity.SIMPLE) == found


@pytest.mark.parametrize("pattern, text", [
    (r"(a)b", "please see the tab and the notes"), (r"(a)b", "please see the xaab and the notes"),
    (r"\b(a)(n)(d)\b", "this and that"), (r"(a)\B", "a cat sat"), (r"((a))\B", "cat"),
    (r"(_)\B", "x __ y"), (r"x(a)(b)y", "xaby"), (r"x(a)(b)y", "xaaby"),
])
def test_groups_of_one_character_in_a_sequence(probe, pattern, text):
    assert probe(pattern, text + PAD) == expected(pattern, text + PAD)


@pytest.mark.parametrize("pattern, text", [
    # U+0130 lower-cases to "i" and a combining dot, which is no word character.
    (r"\bi\b", "\u0130 "), (r"i.\b", "\u0130 "), (r"\bi\w", "\u0130"),
    (r"\bk\b", "\u212a "),  # the Kelvin sign lower-cases to k
    (r"ss", "STRASSE"), (r"ß", "STRAßE"), (r"ǆ", "ǅ"),
])
def test_lower_case_before_the_search(probe, pattern, text):
    assert probe(pattern, text + PAD) == expected(pattern, text + PAD)


pattern_lists = st.lists(st.one_of(subset_patterns().filter(lambda p: unbounded_repeats(p) <= 6), st.sampled_from(["[ab]", "a$", "^z", "(?:x)", "é+"])),
                         max_size=5)


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pattern_lists, pattern_lists, texts)
def test_whole_lists_agree_with_the_plain_rules(patterns, complex_list, simple_list, text):
    # Both lists at once, with entries for the engine and for re mixed in any order.
    import reference
    text = PAD + " " + text
    patterns._COMPLEX_PATTERNS[:] = complex_list
    patterns._SIMPLE_PATTERNS[:] = simple_list
    saved = reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS
    reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS = complex_list, simple_list
    try:
        assert patterns.classify_complexity(text) is reference.classify_complexity(text)
    finally:
        reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS = saved
