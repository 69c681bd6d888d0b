"""Routers of many models compared on the same prompts: each one's AIQ, cost to reach and share
of the gap recovered (:mod:`halvec.quality.models`), and its AIQ's difference from the first
router's, every figure measured on the same bootstrap resamples. The difference's interval is
paired: two routers whose AIQ intervals overlap widely may still differ clearly, as they share
the prompts that make most of either interval's width.

The resamples are those :func:`halvec.quality.models.measure` draws from the same seed, so each
router's own figures and intervals are the ones it gives.
"""

from __future__ import annotations

import random
from collections.abc import Sequence
from dataclasses import dataclass

from halvec.quality.frontier import Plan, best_model, frontier
from halvec.quality.models import (DEFAULT_TARGETS, Estimate, ModelSet, Predictions, _draw, _quantile, native_figures,
                                   resampler)

__all__ = ["Compared", "compare"]


@dataclass(frozen=True)
class Compared:
    """A router's figures beside the first router's."""

    name: str
    aiq: Estimate
    difference: Estimate
    """Its AIQ less the first router's, on each resample (0 for the first)."""
    reach: dict[float, Estimate]
    """Its hull's cost to reach each target share of the best single model's result."""
    gap_recovered: Estimate
    """The share of the gap from the best single model to the oracle its choice at λ = 0 recovers."""


def compare(s: ModelSet, routers: Sequence[Predictions], *, resamples: int = 1000, seed: int = 0,
            level: float = 0.95, targets: Sequence[float] = DEFAULT_TARGETS) -> list[Compared]:
    """Each router's figures on ``s`` and its AIQ's difference from the first's, on the same
    ``resamples`` (from a generator seeded with ``seed``; the middle ``level`` of them). The
    routers predict the set's models, in its order: else ValueError."""
    if not routers:
        raise ValueError("no routers to compare")
    if resamples < 1:
        raise ValueError(f"resamples must be 1 or more, not {resamples!r}")
    for r in routers:
        if r.models != s.models or len(r.qualities) != len(s) or len(r.prices) != len(s):
            raise ValueError(f"the router {r.name!r} does not predict the models of {s.name!r} for each of its "
                             f"{len(s)} prompts")
    oracle = frontier(s.results, s.costs, s.results, s.costs)
    frontiers = [oracle, *(frontier(r.qualities, r.prices, s.results, s.costs) for r in routers)]
    plan = Plan.of(s.results, s.costs, frontiers, [], targets)
    kernel = resampler(plan)
    draw = _draw(len(s), random.Random(seed))
    values: list[list[list[float | None]]] = [[] for _ in routers]  # per router, per resample: aiq, reaches, gap
    for drawn in range(resamples + 1):  # the set itself, then the resamples
        figures = native_figures(kernel, [1] * len(s) if drawn == 0 else draw())
        points = figures.models
        best = points[best_model([p.result for p in points], [p.cost for p in points])]
        gap = figures.frontiers[0].start.result - best.result
        first = figures.frontiers[1].hull.aiq
        for k_router, f in enumerate(figures.frontiers[1:]):
            values[k_router].append([f.hull.aiq, f.hull.aiq - first, *f.hull.reach,
                              None if gap == 0.0 else (f.start.result - best.result) / gap])

    def estimate(rows: list[list[float | None]], column: int) -> Estimate:
        value, *rest = (row[column] for row in rows)
        kept = sorted(v for v in rest if v is not None)
        if not kept:
            return Estimate(value, None, None)
        tail = (1.0 - level) / 2
        return Estimate(value, _quantile(kept, tail), _quantile(kept, 1.0 - tail))

    return [Compared(r.name, estimate(rows, 0), estimate(rows, 1),
                     {share: estimate(rows, 2 + t) for t, share in enumerate(plan.targets)},
                     estimate(rows, 2 + len(plan.targets)))
            for r, rows in zip(routers, values)]
