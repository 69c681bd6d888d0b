"""Why a fitted router decides as it does. A version-1 router's tier: the score, the cut points,
and the n-grams that weighed most, with the text each matched. A version-2 router's choice:
every model's predicted result, price and objective, and the n-grams that most separated the
chosen model from the runner-up.

The results are the native scorer's; the parts are worked out here, by reading the text as the
scorer reads it (:mod:`halvec.fitted.features`), so they add up (up to rounding). It costs far
more than a score: it is for finding out why, not for every call.
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass

from halvec.core import model_router as mr
from halvec.fitted import features
from halvec.fitted.models_file import ModelsSpec
from halvec.fitted.router import FittedRouter, checked_tradeoff
from halvec.fitted.router_file import RouterSpec

__all__ = ["ChoiceExplanation", "Contribution", "ModelFigures", "ScoreExplanation", "Separation", "explain_score"]


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


@dataclass(frozen=True, slots=True)
class ModelFigures:
    """One model's figures for a description, in a version-2 router's choice."""

    model: str
    result: float
    """Its predicted result."""
    price: float
    objective: float
    """``result - tradeoff * price``: the usable model with the highest is chosen."""
    usable: bool


@dataclass(frozen=True, slots=True)
class Separation:
    """One n-gram's part in the chosen model's lead over the runner-up."""

    ngram: str
    chosen_weight: float
    """Its weight for the chosen model."""
    runner_up_weight: float
    count: int
    """How often the text holds it."""
    contribution: float
    """What it adds to the lead: ``(chosen_weight - runner_up_weight) * (1 + ln count) * idf / norm``."""
    span: tuple[int, int]
    """Where it is first found in the lower-cased text (``text.lower()``)."""
    match: str
    """The lower-cased text there."""


@dataclass(frozen=True, slots=True)
class ChoiceExplanation:
    """A version-2 router's choice for one description, and what made it."""

    router: str
    chosen: str
    runner_up: str | None
    """The usable model that came next (None when only one is usable)."""
    tradeoff: float
    models: tuple[ModelFigures, ...]
    """Every model, in the file's order."""
    lead: float
    """The chosen model's objective less the runner-up's (0.0 without a runner-up): the sum of
    ``intercepts_part``, ``counts_part``, every found n-gram's contribution and ``price_part``."""
    intercepts_part: float
    """The chosen model's intercept less the runner-up's."""
    counts_part: float
    """What the two counts add to the chosen model's result, less what they add to the runner-up's."""
    price_part: float
    """``-tradeoff * (chosen's price - runner-up's)``."""
    words: int
    characters: int
    found: int
    """How many of the router's n-grams the text holds."""
    separating: tuple[Separation, ...]
    """The n-grams that most separated the chosen model from the runner-up, either way, largest first."""
    coverage: float | None
    """The share of the text's n-gram places that hold one of the router's n-grams (None for a
    text with no token)."""


@dataclass(frozen=True, slots=True)
class _Found:
    """The router's n-grams a text holds: how often, where first, and each one's share of the
    norm, ``(1 + ln count) * idf / norm``."""

    counts: Counter[int]
    first: dict[int, tuple[int, int]]
    shares: dict[int, float]


def _found(spec: RouterSpec | ModelsSpec, text: str) -> _Found:
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
    # neither overflows nor underflows, whatever the file's idf, and each share is at most 1
    shift = -max((math.frexp(spec.idf[i])[1] for i in counts), default=0)
    values = {i: (1.0 + math.log(c)) * math.ldexp(spec.idf[i], shift) for i, c in counts.items()}
    norm = math.hypot(*values.values())
    return _Found(counts, first, {i: v / norm for i, v in values.items()} if norm > 0 else {})


def explain_score(router: FittedRouter, text: str, *, top: int = 8, usable: Iterable[str] | None = None,
                  tradeoff: float | None = None) -> ScoreExplanation | ChoiceExplanation:
    """Why ``router`` decides as it does for ``text``, with the ``top`` n-grams that weigh most:
    a version-1 router's tier (:class:`ScoreExplanation`), or a version-2 router's choice among
    the ``usable`` models at ``tradeoff``, as :meth:`FittedRouter.choose` takes them
    (:class:`ChoiceExplanation`)."""
    if not isinstance(text, str):
        raise TypeError(f"a description must be a str, not {type(text).__name__}")
    text = str.__str__(text)  # a str subclass read as the str it holds, as the scorer reads it
    if isinstance(router.spec, ModelsSpec):
        return _explain_choice(router, router.spec, text, top, usable, tradeoff)
    if usable is not None or tradeoff is not None:
        raise TypeError(f"router {router.name!r} is a version-1 router: it has no models to choose among")
    return _explain_tier(router, router.spec, text, top)


def _explain_tier(router: FittedRouter, spec: RouterSpec, text: str, top: int) -> ScoreExplanation:
    found = _found(spec, text)
    parts = {i: spec.weights[i] * share for i, share in found.shares.items()}
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
        contributions=tuple(Contribution(spec.ngrams[i], spec.weights[i], found.counts[i], parts[i], found.first[i],
                                         lowered[found.first[i][0]:found.first[i][1]]) for i in ranked),
        coverage=coverage)


def _explain_choice(router: FittedRouter, spec: ModelsSpec, text: str, top: int, usable: Iterable[str] | None,
                    tradeoff: float | None) -> ChoiceExplanation:
    mask = (1 << len(spec.models)) - 1 if usable is None else router.usable_mask(usable)
    lambda_ = router.tradeoff if tradeoff is None else checked_tradeoff(tradeoff)
    results, prices = router.qualities(text), router.prices(text)
    figures = tuple(ModelFigures(model, results[model], prices[model], results[model] - lambda_ * prices[model],
                                 bool(mask >> m & 1)) for m, model in enumerate(spec.models))
    chosen = spec.models.index(router.choose(text, [f.model for f in figures if f.usable], lambda_))
    others = [m for m, f in enumerate(figures) if f.usable and m != chosen]
    # the runner-up as the choice would rank it: the highest objective, the lower price, the earlier model
    runner = min(others, key=lambda m: (-figures[m].objective, figures[m].price, m), default=None)
    found = _found(spec, text)
    words, characters = len(text.split()), len(text)
    (coverage,) = router.coverage([text])
    parts: dict[int, float] = {}
    intercepts_part = counts_part = price_part = lead = 0.0
    if runner is not None:
        parts = {i: (spec.weights[i][chosen] - spec.weights[i][runner]) * share for i, share in found.shares.items()}
        intercepts_part = spec.intercepts[chosen] - spec.intercepts[runner]
        counts_part = math.fsum(
            (term.weights[chosen] - term.weights[runner]) * (math.log1p(value) - term.mean) / term.scale
            for term, value in ((spec.counts["words"], words), (spec.counts["characters"], characters)))
        price_part = -lambda_ * (figures[chosen].price - figures[runner].price)
        lead = figures[chosen].objective - figures[runner].objective
    lowered = text.lower()
    ranked = sorted(parts, key=lambda i: (-abs(parts[i]), spec.ngrams[i]))[:max(top, 0)]
    return ChoiceExplanation(
        router=router.name, chosen=spec.models[chosen], runner_up=None if runner is None else spec.models[runner],
        tradeoff=lambda_, models=figures, lead=lead, intercepts_part=intercepts_part, counts_part=counts_part,
        price_part=price_part, words=words, characters=characters, found=len(found.counts),
        separating=tuple(
            Separation(spec.ngrams[i], spec.weights[i][chosen], spec.weights[i][runner if runner is not None else chosen],
                       found.counts[i], parts[i], found.first[i], lowered[found.first[i][0]:found.first[i][1]])
            for i in ranked),
        coverage=coverage)
