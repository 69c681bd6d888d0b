"""Why the router decides as it does: the classifier's rule, pattern and matched text, and
the stages of a selection with every candidate passed over and why.

``explain_complexity`` is native (the package's private engine module): it takes the same
arguments as ``classify_complexity``, with the same conventions and errors, reads the live
pattern lists as the classifier reads them, and gives the tier the classifier gives.
``explain_selection`` makes the router's real call and watches it.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Literal, Protocol, cast

from halvec import _patterns
from halvec.core import model_router as mr

__all__ = ["ComplexityExplanation", "DecidedBy", "PassedOver", "SelectionExplanation",
           "explain_complexity", "explain_selection"]

Rule = Literal["length", "complex_pattern", "simple_pattern", "counts"]
DecidedBy = Literal["explicit", "default", "auto", "fallback", "last_resort"]
Stage = Literal["explicit", "default", "auto", "fallback"]
Reason = Literal["not a catalogue key", "not enabled", "no key for its provider"]


@dataclass(frozen=True, slots=True)
class ComplexityExplanation:
    """One classification and what decided it."""

    tier: mr.Complexity
    """The tier, the one ``classify_complexity`` gives for the same inputs and lists."""
    rule: Rule
    """``"length"``: fewer than 20 characters after lower-casing and stripping;
    ``"complex_pattern"`` or ``"simple_pattern"``: an entry of that list matched;
    ``"counts"``: the word and tool counts decided."""
    length: int
    """Characters of the normalised text (lower-cased, then stripped)."""
    word_count: int
    tool_count: int
    """The tool count, converted as the classifier converts it."""
    pattern_list: Literal["complex", "simple"] | None
    pattern_index: int | None
    """The entry's index in its list, counting from 0."""
    pattern: Any
    """The entry itself (a pattern text, or whatever the list holds)."""
    span: tuple[int, int] | None
    """Where the entry matched in the normalised text, as ``re.search(...).span()``."""
    match: str | None
    """The matched text."""
    threshold: str | None
    """For ``"counts"``: the comparison that decided, for example ``"word_count > 60"``."""


@dataclass(frozen=True, slots=True)
class PassedOver:
    """A model the selection considered and did not take."""

    key: Any
    """The candidate key as the selection met it."""
    stage: Stage
    reason: Reason


@dataclass(frozen=True, slots=True)
class SelectionExplanation:
    """One selection and how it was made."""

    spec: mr.ModelSpec
    """The record the router returned."""
    key: str | None
    """Its catalogue key (None for a record the catalogue does not hold)."""
    decided_by: DecidedBy
    """``"explicit"`` (the caller's key), ``"default"`` (the configured default),
    ``"auto"`` (the choice by complexity), ``"fallback"`` (the first usable enabled model)
    or ``"last_resort"`` (nothing was usable: the catalogue's Claude Sonnet, untested)."""
    complexity: ComplexityExplanation | None
    """How the description was classified, when the choice by complexity ran."""
    passed_over: tuple[PassedOver, ...]
    """Every candidate passed over, in the order the selection met them."""


class _Explainer(Protocol):
    def __call__(self, prompt: str, tool_count: int = 0) -> ComplexityExplanation: ...


explain_complexity: _Explainer = cast(_Explainer, _patterns.make_explainer(ComplexityExplanation))
"""``explain_complexity(prompt, tool_count=0)``: why ``classify_complexity`` gives its tier."""

_CANDIDATES: dict[bool, dict[str, tuple[str, ...]]] = {
    False: {"complex": ("claude-opus", "claude-sonnet", "gpt-5.2"),
            "moderate": ("claude-sonnet", "claude-haiku", "gpt-5.2"),
            "simple": ("claude-haiku", "claude-sonnet", "gpt-5.2")},
    True: {"complex": ("claude-sonnet", "claude-haiku", "gpt-5.2"),
           "moderate": ("claude-haiku", "claude-sonnet", "gpt-5.2"),
           "simple": ("claude-haiku", "claude-sonnet", "gpt-5.2")},
}


class _Watch:
    """What one selection did, as the router's methods were called on its thread."""

    def __init__(self) -> None:
        self.thread = threading.get_ident()
        self.lookups: list[tuple[Any, Any]] = []  # get_model: (key, result)
        self.tested: list[tuple[Any, Any]] = []  # _is_available: (record, answer)
        self.stage: Stage = "explicit"
        self.tier: Any = None
        self.auto_tested_from = 0
        self.fallback_tested_from: int | None = None


_WATCHED = ("get_model", "_is_available", "_select_for_complexity", "_get_fallback")


@contextmanager
def _watching(router: mr.ModelRouter) -> Iterator[_Watch]:
    """Puts recording wrappers of the router's own methods on the instance for the call;
    other threads pass straight through them."""
    watch = _Watch()
    own = vars(router)
    saved = {name: own[name] for name in _WATCHED if name in own}
    methods: dict[str, Callable[..., Any]] = {name: getattr(router, name) for name in _WATCHED}

    def get_model(key: Any) -> Any:
        result = methods["get_model"](key)
        if threading.get_ident() == watch.thread:
            watch.lookups.append((key, result))
        return result

    def is_available(spec: Any) -> Any:
        answer = methods["_is_available"](spec)
        if threading.get_ident() == watch.thread:
            watch.tested.append((spec, answer))
        return answer

    def select_for_complexity(complexity: Any) -> Any:
        if threading.get_ident() == watch.thread:
            watch.stage, watch.tier, watch.auto_tested_from = "auto", complexity, len(watch.tested)
        return methods["_select_for_complexity"](complexity)

    def get_fallback() -> Any:
        if threading.get_ident() == watch.thread:
            watch.stage, watch.fallback_tested_from = "fallback", len(watch.tested)
        return methods["_get_fallback"]()

    wrappers = {"get_model": get_model, "_is_available": is_available,
                "_select_for_complexity": select_for_complexity, "_get_fallback": get_fallback}
    own.update(wrappers)
    try:
        yield watch
    finally:
        for name in _WATCHED:
            if name in saved:
                own[name] = saved[name]
            elif own.get(name) is wrappers[name]:
                del own[name]


def _key_of(spec: Any) -> str | None:
    return next((key for key, record in mr.AVAILABLE_MODELS.items() if record is spec), None)


def _reason(key: Any, enabled: Any) -> Reason:
    if key not in mr.AVAILABLE_MODELS:
        return "not a catalogue key"
    if key not in enabled:
        return "not enabled"
    return "no key for its provider"


def explain_selection(router: mr.ModelRouter, description: str, model_key: str | None = None, *,
                      scheduler: bool = False) -> SelectionExplanation:
    """Makes the router's real call, ``select_for_worker`` (or, with ``scheduler``,
    ``select_for_scheduler``), so that its log lines and its store's answers are those of
    the call and overrides in subclasses take effect, and says how the choice was made."""
    with _watching(router) as watch:
        if scheduler:
            spec = router.select_for_scheduler(description, model_key)
        else:
            spec = router.select_for_worker(description, model_key)
    config = router.config
    enabled = config.enabled_models
    passed: list[PassedOver] = []
    decided_by: DecidedBy | None = None
    # The lookups by key: the caller's explicit choice (when one was given), then the
    # configured default (when one is set).
    stages: list[Stage] = ["explicit", "default"] if model_key not in (None, "", "auto") else ["default"]
    for stage, (key, result) in zip(stages, watch.lookups):
        if result:
            decided_by = stage
            break
        passed.append(PassedOver(key, stage, _reason(key, enabled)))
    complexity = None
    if watch.tier is not None:
        complexity = explain_complexity(description)
        decided_by = "auto"
        tested = watch.tested[watch.auto_tested_from:watch.fallback_tested_from]
        answers = {_key_of(record): answer for record, answer in tested}
        candidates = _CANDIDATES[bool(config.cost_conscious)]
        tier_value = getattr(watch.tier, "value", None)
        order = candidates.get(tier_value, ("claude-sonnet",)) if isinstance(tier_value, str) else ("claude-sonnet",)
        for key in order:
            if answers.get(key):
                break
            passed.append(PassedOver(key, "auto", _reason(key, enabled)))
        if watch.fallback_tested_from is not None:
            decided_by = "last_resort"
            fallback = iter(watch.tested[watch.fallback_tested_from:])
            for key in list(enabled):
                if key not in mr.AVAILABLE_MODELS:
                    passed.append(PassedOver(key, "fallback", "not a catalogue key"))
                    continue
                record, answer = next(fallback, (None, None))
                if answer and record is spec:
                    decided_by = "fallback"
                    break
                passed.append(PassedOver(key, "fallback", _reason(key, enabled)))
    return SelectionExplanation(spec=spec, key=_key_of(spec), decided_by=decided_by or "auto",
                                complexity=complexity, passed_over=tuple(passed))
