"""Explanations as the commands show them: the classifier's reason (the rule that decided,
and for a pattern the entry that matched, what it matched and where, in its context) and the
models a selection passed over, as text lines for a reader and as JSON objects.

Text is escaped (:func:`halvec.cli.output.escape`) and kept short: a long match, its context
and a long pattern are shortened in the middle. JSON carries everything exactly."""

from __future__ import annotations

import re
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Literal, TypedDict

from halvec.cli import output
from halvec.cli.options import InputError
from halvec.explain import ComplexityExplanation, PassedOver

__all__ = ["PassedOverJSON", "ReasonJSON", "classifier_errors_are_input_errors", "describe_counts",
           "describe_passed_over", "describe_rule", "passed_over_json", "reason_json"]

CONTEXT = 30
"""Characters of the text shown on each side of a match."""
LONGEST_MATCH = 60
"""A longer match is shown as its first and last halves of this many characters."""
LONGEST_PATTERN = 120


class ReasonJSON(TypedDict):
    """A classification's reason: the explanation record's attributes under their own names.

    ``tier`` is the tier's text, ``pattern_index`` counts from 0, ``pattern`` is the entry's
    text (a compiled pattern's own text), ``span`` is ``[start, end]`` in the normalised text."""

    tier: str
    rule: Literal["length", "complex_pattern", "simple_pattern", "counts"]
    length: int
    word_count: int
    tool_count: int
    pattern_list: Literal["complex", "simple"] | None
    pattern_index: int | None
    pattern: str | None
    span: list[int] | None
    match: str | None
    threshold: str | None


class PassedOverJSON(TypedDict):
    key: str
    stage: Literal["explicit", "default", "auto", "fallback"]
    reason: Literal["not a catalogue key", "not enabled", "no key for its provider"]


def _entry_text(entry: object) -> str | None:
    if entry is None or isinstance(entry, str):
        return entry
    if isinstance(entry, re.Pattern) and isinstance(entry.pattern, str):
        return entry.pattern
    return repr(entry)


def reason_json(explanation: ComplexityExplanation) -> ReasonJSON:
    return {
        "tier": explanation.tier.value,
        "rule": explanation.rule,
        "length": explanation.length,
        "word_count": explanation.word_count,
        "tool_count": explanation.tool_count,
        "pattern_list": explanation.pattern_list,
        "pattern_index": explanation.pattern_index,
        "pattern": _entry_text(explanation.pattern),
        "span": None if explanation.span is None else list(explanation.span),
        "match": explanation.match,
        "threshold": explanation.threshold,
    }


def passed_over_json(passed_over: tuple[PassedOver, ...]) -> list[PassedOverJSON]:
    return [{"key": p.key if isinstance(p.key, str) else repr(p.key), "stage": p.stage, "reason": p.reason}
            for p in passed_over]


# --- text ------------------------------------------------------------------------------------

def _shows(text: str) -> bool:
    """Whether standard output can show ``text`` as it is (else it would turn into ``?``)."""
    encoding = getattr(sys.stdout, "encoding", None) or "ascii"
    try:
        text.encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def _marks() -> tuple[str, str]:
    """The dash of a range and the mark of a cut, typographic where standard output shows them."""
    return ("\u2013", "\u2026") if _shows("\u2013\u2026") else ("-", "...")


def _shortened(text: str, longest: int, cut: str, *, backslash: bool = True) -> str:
    """``text`` escaped; when longer than ``longest``, its two ends with ``cut`` between.

    A pattern keeps its backslashes single (``backslash=False``): they are the pattern's own
    escapes, and a control character in it, shown as ``\\n`` or ``\\x1b``, means the same
    to ``re`` as that escape."""
    if len(text) <= longest:
        return output.escape(text, backslash=backslash)
    half = longest // 2
    return output.escape(text[:half], backslash=backslash) + cut + output.escape(text[-half:], backslash=backslash)


def describe_rule(explanation: ComplexityExplanation, description: str) -> str:
    """The rule that set the tier, in one line: for a pattern, the entry (numbered from 0, as
    the lists index it and JSON says), what it matched and where, in the context of the normalised text
    (``description`` lower-cased and stripped, as the classifier reads it)."""
    e = explanation
    if e.rule == "length":
        return f"length: {e.length} characters after lower-casing and stripping, fewer than 20"
    if e.rule == "counts":
        return f"counts: {e.threshold} (no pattern matched)"
    dash, cut = _marks()
    pattern = e.pattern if isinstance(e.pattern, str) else repr(e.pattern)
    text = f"{e.pattern_list} pattern {e.pattern_index or 0} (numbered from 0) `{_shortened(pattern, LONGEST_PATTERN, cut, backslash=False)}`"
    if e.span is None or e.match is None:
        return text + " matched"
    start, end = e.span
    text += f" matched \"{_shortened(e.match, LONGEST_MATCH, cut)}\" at {start}{dash}{end}"
    normalised = description.lower().strip()
    if len(normalised) != e.length or normalised[start:end] != e.match:
        return text  # the lists changed under the call: no context to show it in
    before, after = normalised[max(0, start - CONTEXT):start], normalised[end:end + CONTEXT]
    lead = cut if start > CONTEXT else ""
    trail = cut if end + CONTEXT < len(normalised) else ""
    return (text + f" in \"{lead}{output.escape(before)}{_shortened(e.match, LONGEST_MATCH, cut)}"
                   f"{output.escape(after)}{trail}\"")


def describe_counts(explanation: ComplexityExplanation) -> str:
    """The facts the counting rule looks at."""
    e = explanation
    return (f"{e.length} character{'s' if e.length != 1 else ''} and {e.word_count} "
            f"word{'s' if e.word_count != 1 else ''} after lower-casing and stripping; "
            f"tool count {e.tool_count}")


_STAGES = {"explicit": "explicit choice", "default": "configured default", "auto": "auto [{tier}]",
           "fallback": "fallback, enabled list"}


def describe_passed_over(passed: PassedOver, tier: str | None) -> str:
    stage = _STAGES[passed.stage].format(tier=tier)
    key = passed.key if isinstance(passed.key, str) else repr(passed.key)
    return f"{output.escape(key)} ({stage}): {passed.reason}"


@contextmanager
def classifier_errors_are_input_errors() -> Iterator[None]:
    """What the classifier raises for its pattern lists (an entry ``re`` rejects, an entry
    that is not a text), said in one line: the lists' fault, not the command line's."""
    try:
        yield
    except re.error as error:
        raise InputError(f"a pattern of the classifier's lists is not a valid regular expression: {error}") from None
    except TypeError as error:
        raise InputError(f"the classifier cannot use its pattern lists: {error}") from None
