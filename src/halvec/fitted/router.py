"""A fitted router, loaded: its native scorer, its cut points and its tiers."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from functools import cached_property
from typing import Any

from halvec import _fitted
from halvec.core import model_router as mr
from halvec.fitted.provenance import Provenance
from halvec.fitted.router_file import RouterFileError, RouterSpec, load

__all__ = ["FittedRouter", "load_router"]


class FittedRouter:
    """Scores descriptions (higher: more complex) and sorts them into tiers by the cut points.

    Scoring is native: the n-grams are looked up in tables built when the router is made,
    which count against a memory budget that fitted routers have to themselves, as large as
    the pattern engine's."""

    def __init__(self, spec: RouterSpec) -> None:
        try:
            self._scorer: Any = _fitted.Scorer(
                spec.ngrams, spec.weights, spec.idf, spec.longest_ngram, spec.intercept,
                _term(spec, "words"), _term(spec, "characters"))
        except MemoryError as error:
            if not str(error):  # out of memory, not over the budget: said as it is
                raise
            raise RouterFileError(f"too large to load: {error}") from None
        except ValueError as error:  # what the file's checks let through: the scorer's own refusal
            raise RouterFileError(str(error)) from None
        self.spec: RouterSpec = spec
        self.name: str = spec.name
        self.score_one: Callable[[str], float] = self._scorer.score
        """The score of one text (the native scorer's own method: no Python work)."""
        self.cuts: tuple[float, float] = spec.cuts
        """(moderate, complex): a score from ``cuts[1]`` up is complex, from ``cuts[0]`` up moderate."""

    def __repr__(self) -> str:
        return f"<FittedRouter {self.name!r}: {self._scorer.ngrams} n-grams, cuts {self.cuts}>"

    @property
    def memory(self) -> int:
        """Bytes the scorer's tables hold."""
        return int(self._scorer.memory)

    def score(self, texts: Sequence[str] | Iterable[str]) -> list[float]:
        """The score of each text, in order."""
        return self._scorer.scores(texts if isinstance(texts, (list, tuple)) else list(texts))  # type: ignore[no-any-return]

    def score_and_coverage(self, texts: Sequence[str] | Iterable[str]) -> tuple[list[float], list[float | None]]:
        """The score of each text and its coverage (the share of its n-gram places that hold
        one of the router's n-grams; None for a text with no token), read in one pass: see
        :mod:`halvec.fitted.coverage`."""
        return self._scorer.scores_and_coverage(  # type: ignore[no-any-return]
            texts if isinstance(texts, (list, tuple)) else list(texts))

    @cached_property
    def provenance(self) -> Provenance:
        """What the file's ``fitted_on`` says of the data the router was fitted on."""
        return Provenance.of(self.spec.fitted_on)

    def tier_of(self, score: float) -> mr.Complexity:
        """The tier a score falls in."""
        tiers = mr.Complexity
        if score >= self.cuts[1]:
            return tiers.COMPLEX
        return tiers.MODERATE if score >= self.cuts[0] else tiers.SIMPLE

    def tier(self, text: str) -> mr.Complexity:
        """The tier of a description, as a ``classify_complexity`` of this router would give it."""
        return self.tier_of(self.score_one(text))

    def strong_mask(self, scores: Sequence[float]) -> list[bool]:
        """The router's operating point: the complex tier goes to the strong model."""
        cut = self.cuts[1]
        return [score >= cut for score in scores]


def _term(spec: RouterSpec, name: str) -> tuple[float, float, float]:
    term = spec.counts[name]
    return term.weight, term.mean, term.scale


def load_router(path: str) -> FittedRouter:
    """The fitted router in the file ``path`` (written by ``halvec fit``). OSError when the
    file cannot be read; :class:`RouterFileError` (a ValueError) when it is not a complete,
    sensible router file: truncated, another version, edited into nonsense (a weight that is
    not a finite number, cut points out of order, an n-gram that can never be found)."""
    spec = load(path)
    try:
        return FittedRouter(spec)
    except RouterFileError as error:
        raise RouterFileError(f"{path!r}: {error}") from None
