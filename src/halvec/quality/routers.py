"""The routers a benchmark measures: anything with a ``name`` and a ``score(texts)`` (higher:
send it to the strong model), and optionally ``strong_mask(scores)``, its own operating point
(which prompts it sends to the strong model).

Two are built in: ``rules``, the module's own tiers (``classify_complexity``) ranked simple <
moderate < complex, sending complex to the strong model; and ``words``, the word count. A
fitted router file is loaded by :func:`halvec.fitted.load_router`, which gives the same
interface.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Protocol, runtime_checkable

from halvec.core import model_router as mr

__all__ = ["BUILT_IN", "Router", "RulesRouter", "WithOperatingPoint", "WordsRouter", "strong_mask"]


@runtime_checkable
class Router(Protocol):
    @property
    def name(self) -> str: ...
    def score(self, texts: list[str]) -> list[float]: ...


@runtime_checkable
class WithOperatingPoint(Router, Protocol):
    def strong_mask(self, scores: Sequence[float]) -> list[bool]: ...


_TIER_RANK = {mr.Complexity.SIMPLE: 0.0, mr.Complexity.MODERATE: 1.0, mr.Complexity.COMPLEX: 2.0}


class RulesRouter:
    """The module's default tiers: score 0, 1, 2 for simple, moderate, complex; complex goes to
    the strong model."""

    name = "rules"

    def score(self, texts: list[str]) -> list[float]:
        classify, rank = mr.classify_complexity, _TIER_RANK
        return [rank[classify(text)] for text in texts]

    def strong_mask(self, scores: Sequence[float]) -> list[bool]:
        return [score == 2.0 for score in scores]


class WordsRouter:
    """The word count (``len(text.split())``): longer prompts to the strong model first. It has
    no operating point of its own."""

    name = "words"

    def score(self, texts: list[str]) -> list[float]:
        return [float(len(text.split())) for text in texts]


BUILT_IN: dict[str, type[RulesRouter] | type[WordsRouter]] = {"rules": RulesRouter, "words": WordsRouter}


def strong_mask(router: Router, scores: Sequence[float]) -> list[bool] | None:
    """The router's operating point for ``scores``, or None when it has none."""
    if isinstance(router, WithOperatingPoint):
        return router.strong_mask(scores)
    return None
