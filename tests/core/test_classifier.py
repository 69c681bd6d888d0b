"""The complexity classifier: worked examples, boundaries, pattern lists."""

import re

import pytest
from hypothesis import given, strategies as st

COMPLEX_PATTERNS = [
    r"\b(architect|design system|refactor|multi.?step|comprehensive|in.?depth)\b",
    r"\b(analyze|debug.*complex|plan.*project|write.*report)\b",
    r"\b(research|compare.*and.*contrast|investigate)\b",
    r"\b(create.*application|build.*system|implement.*feature)\b",
    r"\b(strategy|optimization|trade.?off|deep.*analysis)\b",
    r"\b(blog.?post|article|essay|paper|thesis|dissertation)\b",
    r"\b(every.*day|daily|weekly|schedule|cron|automat)\b",
    r"\b(while.*also|simultaneously|parallel|worker)\b",
    r"\b(financial|market|stock|crypto|investment)\b",
    r"\b(\d{3,}\s*word)\b",
]
SIMPLE_PATTERNS = [
    r"\b(hello|hi|hey|thanks|thank you|ok|okay|yes|no|sure)\b",
    r"\b(what time|what day|what date|weather)\b",
    r"\b(summarize this|tldr|quick question|simple)\b",
    r"\b(translate|convert|format|rename|list)\b",
    r"\b(open|close|click|scroll|navigate to)\b",
    r"\b(fetch|get|check|look up|find)\b",
]


def reference(prompt, tool_count=0, complex_patterns=COMPLEX_PATTERNS, simple_patterns=SIMPLE_PATTERNS):
    """The rules written out in plain Python."""
    text = prompt.lower().strip()
    if len(text) < 20:
        return "SIMPLE"
    if any(re.search(p, text) for p in complex_patterns):
        return "COMPLEX"
    if any(re.search(p, text) for p in simple_patterns):
        return "SIMPLE"
    words, tools = len(text.split()), int(tool_count)
    if words > 60 or tools > 4:
        return "COMPLEX"
    if words > 25 or tools > 2:
        return "MODERATE"
    if words < 15 and tools <= 1:
        return "SIMPLE"
    return "MODERATE"


def test_pattern_lists(mr):
    assert mr._COMPLEX_PATTERNS == COMPLEX_PATTERNS and type(mr._COMPLEX_PATTERNS) is list
    assert mr._SIMPLE_PATTERNS == SIMPLE_PATTERNS and type(mr._SIMPLE_PATTERNS) is list


PULL = "Pull the sales numbers and email them to the group"
WORKED_EXAMPLES = [
    ("Summarize", 0, "SIMPLE"),
    ("Refactor the parser", 7, "SIMPLE"),
    ("   Translate this  ", 0, "SIMPLE"),
    ("Write a detailed report on our Q3 sales", 0, "COMPLEX"),
    ("Design system tokens for the mobile app", 0, "COMPLEX"),
    ("Design  system tokens for the mobile app", 0, "SIMPLE"),
    ("RESEARCH the best hiking boots", 0, "COMPLEX"),
    ("Check the stock market before noon", 0, "COMPLEX"),
    ("We need an in-depth look at the onboarding flow", 0, "COMPLEX"),
    ("Run these in parallel and merge the output", 0, "COMPLEX"),
    ("Write a 500 word piece about the history of tea", 0, "COMPLEX"),
    ("Write 500 words about the history of tea", 0, "SIMPLE"),
    ("Architecture review of the payment service", 0, "SIMPLE"),
    ("Automate the nightly backup of the photo library", 0, "SIMPLE"),
    ("Debug this\nthen: complex failure in the importer", 0, "SIMPLE"),
    ("Hello, please organise my desktop icons", 0, "SIMPLE"),
    ("Summarize this thread for the sales channel", 0, "SIMPLE"),
    ("Check whether the staging server is up", 0, "SIMPLE"),
    (PULL, 1, "SIMPLE"),
    (PULL, 2, "MODERATE"),
    (PULL, 4.9, "MODERATE"),
    (PULL, 5, "COMPLEX"),
    (PULL, -3, "SIMPLE"),
    ("Go through the inbox and reply to everyone who wrote to us about the office move this week",
     0, "MODERATE"),
    (" ".join(["item"] * 14), 0, "SIMPLE"),
    (" ".join(["item"] * 14), 2, "MODERATE"),
    (" ".join(["item"] * 15), 0, "MODERATE"),
    (" ".join(["item"] * 25), 0, "MODERATE"),
    (" ".join(["item"] * 26), 0, "MODERATE"),
    (" ".join(["item"] * 60), 0, "MODERATE"),
    (" ".join(["item"] * 61), 0, "COMPLEX"),
    ("Write a report but also say hello", 0, "COMPLEX"),  # both lists match: complex wins
    ("Refactor the parser", 99, "SIMPLE"),                 # short text ignores tool_count
]


@pytest.mark.parametrize("prompt, tool_count, expected", WORKED_EXAMPLES)
def test_worked_examples(mr, prompt, tool_count, expected):
    result = mr.classify_complexity(prompt, tool_count)
    assert result is mr.Complexity[expected]
    assert reference(prompt, tool_count) == expected


def test_length_boundary_counts_code_points_after_lower_and_strip(mr):
    C = mr.Complexity
    assert mr.classify_complexity("x" * 19 + "  \t\n", 9) is C.SIMPLE
    assert mr.classify_complexity("x" * 20, 9) is C.COMPLEX
    # U+0130 lower-cases to two code points: 10 of them make a 20-character text.
    assert mr.classify_complexity("\u0130" * 10, 9) is C.COMPLEX
    assert mr.classify_complexity("\u0130" * 9 + "\u3000" * 5, 9) is C.SIMPLE


def test_pattern_lists_are_read_at_each_call(patterns):
    mr, C = patterns, patterns.Complexity
    text = "please tidy the garden shed today"
    assert mr.classify_complexity(text) is C.SIMPLE
    mr._COMPLEX_PATTERNS.append("garden")
    assert mr.classify_complexity(text) is C.COMPLEX
    mr._COMPLEX_PATTERNS = ("nothing", "shed")  # rebinding to any iterable works too
    assert mr.classify_complexity(text) is C.COMPLEX
    mr._COMPLEX_PATTERNS = []
    mr._SIMPLE_PATTERNS = []
    assert mr.classify_complexity("Write a detailed report on our Q3 sales") is C.SIMPLE
    assert mr.classify_complexity(" ".join(["report"] * 30)) is C.MODERATE


def test_bad_pattern_entries_raise_the_engines_error(patterns):
    mr = patterns
    text = "a description of reasonable length"
    mr._COMPLEX_PATTERNS.insert(0, "(unclosed")
    with pytest.raises(re.error):
        mr.classify_complexity(text)
    mr._COMPLEX_PATTERNS[0] = 42
    with pytest.raises(TypeError):
        mr.classify_complexity(text)
    del mr._COMPLEX_PATTERNS[0]
    del mr._SIMPLE_PATTERNS
    with pytest.raises(NameError, match="_SIMPLE_PATTERNS"):
        mr.classify_complexity(text)


def test_pattern_that_edits_its_own_list_while_searched(patterns):
    mr = patterns

    class Shrinking(str):
        armed = True

        def __hash__(self):
            if self.armed:  # once: re's cache hashes its keys again when it evicts them
                self.armed = False
                mr._COMPLEX_PATTERNS.clear()  # runs inside re's cache lookup
            return str.__hash__(self)

    try:
        mr._COMPLEX_PATTERNS[:] = [Shrinking("zzz"), "garden"]
        # The list is read afresh after each search, so the cleared entries are gone.
        assert mr.classify_complexity("please tidy the garden shed today") is mr.Complexity.SIMPLE
        mr._COMPLEX_PATTERNS[:] = [Shrinking("garden")]
        assert mr.classify_complexity("please tidy the garden shed today") is mr.Complexity.COMPLEX
    finally:
        re.purge()


WORDS = ["architect", "architecture", "design system", "design  system", "refactor", "multistep",
         "multi-step", "in depth", "analyze", "analyzes", "debug", "complex", "plan", "project",
         "write", "report", "research", "compare", "and", "contrast", "investigate", "create",
         "application", "build", "system", "strategy", "trade-off", "deep", "analysis", "blog post",
         "essay", "every", "day", "daily", "automat", "automate", "while", "also", "worker",
         "market", "stock", "500", "12", "word", "words", "hello", "hi", "thank you", "weather",
         "tldr", "list", "open", "navigate to", "look up", "find", "the", "a", "of", "ÉTUDE", "İ",
         "٣٤٥", "naïve", "straße", "_", "x1"]
SEPARATORS = [" ", "  ", "\t", "\n", "\u00a0", "\u2003", "\u3000", "\x1c", "-", ",", "", "\u0301"]


@st.composite
def descriptions(draw):
    parts = draw(st.lists(st.tuples(st.sampled_from(WORDS), st.sampled_from(SEPARATORS)), max_size=30))
    text = "".join(word + sep for word, sep in parts)
    if draw(st.booleans()):
        text = draw(st.sampled_from(SEPARATORS)) + text + draw(st.sampled_from(SEPARATORS))
    return text


@given(descriptions(), st.one_of(st.integers(-3, 8), st.floats(-3, 8), st.booleans()))
def test_matches_the_plain_python_rules(mr, prompt, tool_count):
    assert mr.classify_complexity(prompt, tool_count) is mr.Complexity[reference(prompt, tool_count)]


@given(st.text(max_size=80))
def test_arbitrary_text(mr, prompt):
    assert mr.classify_complexity(prompt) is mr.Complexity[reference(prompt)]
