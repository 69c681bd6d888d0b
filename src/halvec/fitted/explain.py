"""Why a fitted router gives a description its tier: the score, the cut points, and the
n-grams that weighed most, with the text each matched.

The score is the native scorer's; the parts are worked out here, by reading the text as the
scorer reads it (:mod:`halvec.fitted.features`), so they add up to the score (up to
rounding). It costs far more than a score: it is for finding out why, not for every call.
"""

from __future__ import annotations

import math
from collections import Counter
from dataclasses import dataclass

from halvec.core import model_router as mr
from halvec.fitted import features
from halvec.fitted.router import FittedRouter

__all__ = ["Contribution", "ScoreExplanation", "explain_score"]


@dataclass(frozen=True, slots=True)
class Contribution:
    """One n-gram's part in a score."""

    ngram: str
    weight: float
    """Its weight in the router file."""
    count: int
    """How often the text holds it."""
    contribution: float
    """What it adds to the score: ``weight * (1 + ln count) * idf / norm``."""
    span: tuple[int, int]
    """Where it is first found in the lower-cased text (``text.lower()``)."""
    match: str
    """The lower-cased text there."""


@dataclass(frozen=True, slots=True)
class ScoreExplanation:
    """A fitted router's tier for one description, and what made it."""

    router: str
    """The router's name."""
    tier: mr.Complexity
    score: float
    cuts: tuple[float, float]
    """(moderate, complex): the score is complex from ``cuts[1]`` up, moderate from ``cuts[0]`` up."""
    intercept: float
    words: int
    characters: int
    counts_part: float
    """What the two counts add to the score."""
    found: int
    """How many of the router's n-grams the text holds."""
    contributions: tuple[Contribution, ...]
    """The n-grams that weigh most, either way, largest first."""
    coverage: float | None
    """The share of the text's n-gram places that hold one of the router's n-grams (None for
    a text with no token): how much of it the router knows (:mod:`halvec.fitted.coverage`)."""


def explain_score(router: FittedRouter, text: str, *, top: int = 8) -> ScoreExplanation:
    """Why ``router`` gives ``text`` its tier, with the ``top`` n-grams that weigh most."""
    if not isinstance(text, str):
        raise TypeError(f"a description must be a str, not {type(text).__name__}")
    text = str.__str__(text)  # a str subclass read as the str it holds, as the scorer reads it
    spec = router.spec
    index = {ngram: i for i, ngram in enumerate(spec.ngrams)}
    found = list(features.spans(text))
    counts: Counter[int] = Counter()
    first: dict[int, tuple[int, int]] = {}
    for n in range(1, spec.longest_ngram + 1):
        for start in range(len(found) - n + 1):
            gram = " ".join(token for token, _, _ in found[start:start + n])
            i = index.get(gram)
            if i is not None:
                counts[i] += 1
                first.setdefault(i, (found[start][1], found[start + n - 1][2]))
    # the tf-idf values scaled by a power of two that brings the largest idf near 1: the norm
    # neither overflows nor underflows, whatever the file's idf, and each part is its weight
    # times a share of at most 1
    shift = -max((math.frexp(spec.idf[i])[1] for i in counts), default=0)
    values = {i: (1.0 + math.log(c)) * math.ldexp(spec.idf[i], shift) for i, c in counts.items()}
    norm = math.hypot(*values.values())
    parts = {i: spec.weights[i] * (v / norm) for i, v in values.items()} if norm > 0 else {}
    lowered = text.lower()
    ranked = sorted(parts, key=lambda i: (-abs(parts[i]), spec.ngrams[i]))[:max(top, 0)]
    words, characters = len(text.split()), len(text)
    counts_part = math.fsum(term.weight * (math.log1p(value) - term.mean) / term.scale
                            for term, value in ((spec.counts["words"], words),
                                                (spec.counts["characters"], characters)))
    (score,), (coverage,) = router.score_and_coverage([text])
    return ScoreExplanation(
        router=router.name, tier=router.tier_of(score), score=score, cuts=router.cuts, intercept=spec.intercept,
        words=words, characters=characters, counts_part=counts_part, found=len(parts),
        contributions=tuple(Contribution(spec.ngrams[i], spec.weights[i], counts[i], parts[i], first[i],
                                         lowered[first[i][0]:first[i][1]]) for i in ranked),
        coverage=coverage)
