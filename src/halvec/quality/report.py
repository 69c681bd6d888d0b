"""The measures of one set of outcomes, for every router and baseline: what ``halvec bench``
reports for each file and for the files pooled.

Rows, in order: the routers given, then the baselines: random routing (APGR exactly 0.5, the
straight line), the oracle (score = strong result - weak result, which also gives the
highest curve there can be) and each model alone (an operating point only: all prompts to
one model).

Cost is a mean per prompt, on one of three bases: the per-prompt costs of the data; prices per
call; or, with neither, the share of strong calls (a strong call costs 1, a weak one 0).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal, TypedDict

from halvec.quality.metrics import (Curve, Interval, OperatingPoint, bootstrap_apgr, mean, operating_point,
                                    quality_curve, scaled_gains)

if TYPE_CHECKING:
    from halvec.fitted.checks import Checks

__all__ = ["CPT_SHARES", "CostBasis", "Costs", "Row", "RowJSON", "SetJSON", "SetReport", "Scored", "measure",
           "strong_share"]

CPT_SHARES = (0.5, 0.8)
"""The shares of the gap whose CPT is reported."""

CostBasis = Literal["data", "prices", "strong_share"]


@dataclass(frozen=True)
class Costs:
    """How prompts are costed: per prompt (``strong``/``weak``, from the data) or per call."""

    basis: CostBasis
    strong: Sequence[float] | float = 1.0
    weak: Sequence[float] | float = 0.0

    def curve(self, scores: Sequence[float]) -> Curve | None:
        """The mean cost along the quality curve of ``scores`` (per-prompt costs only)."""
        if isinstance(self.strong, float) or isinstance(self.weak, float):
            return None
        return quality_curve(scores, self.strong, self.weak)

    def at_share(self, share: float, cost_curve: Curve | None) -> float:
        """The mean cost per prompt with ``share`` of them sent to the strong model along a
        ranking (``cost_curve``: its costs, where they are per prompt)."""
        if cost_curve is not None:
            return cost_curve.quality_at(share)
        assert isinstance(self.strong, float) and isinstance(self.weak, float)
        return self.weak + share * (self.strong - self.weak)

    def of_mask(self, mask: Sequence[bool]) -> float:
        """The mean cost per prompt of sending the prompts ``mask`` marks to the strong model."""
        n = len(mask)
        if isinstance(self.strong, float) or isinstance(self.weak, float):
            assert isinstance(self.strong, float) and isinstance(self.weak, float)
            share = sum(mask) / n
            return self.weak + share * (self.strong - self.weak)
        return mean([s if to_strong else w for s, w, to_strong in zip(self.strong, self.weak, mask)])


@dataclass(frozen=True)
class Scored:
    """A router's scores on a set, and its operating point's choices where it has one."""

    name: str
    scores: list[float]
    mask: list[bool] | None
    coverage: list[float | None] | None = None
    """Each prompt's coverage, for a fitted router."""
    checks: Checks | None = None
    """A fitted router's checks on the set."""


def strong_share(mask: Sequence[bool] | None) -> float | None:
    """The share of prompts an operating point's choices (``mask``) send to the strong model."""
    return None if not mask else sum(mask) / len(mask)


class RowJSON(TypedDict):
    name: str
    kind: str
    model: str | None
    apgr: float | None
    apgr_low: float | None
    apgr_high: float | None
    cpt50: float | None
    cpt80: float | None
    cost_at_cpt50: float | None
    cost_at_cpt80: float | None
    strong_share: float | None
    quality: float | None
    pgr: float | None
    cost: float | None
    placed_strong_share: float | None
    fitted_on_share: float | None
    coverage: float | None
    fitted_coverage: float | None


class SetJSON(TypedDict):
    name: str
    prompts: int
    q_strong: float
    q_weak: float
    cost_basis: str
    rows: list[RowJSON]


@dataclass(frozen=True)
class Row:
    """One router's or baseline's measures on a set."""

    name: str
    kind: Literal["router", "baseline"]
    apgr: float | None
    interval: Interval | None
    cpt: dict[float, float] | None
    """CPT for each share of :data:`CPT_SHARES`."""
    cost_at_cpt: dict[float, float] | None
    """The mean cost per prompt at each of those CPTs."""
    point: OperatingPoint | None
    point_cost: float | None
    curve: Curve | None
    """The quality curve, for a plot."""
    checks: Checks | None = None
    """A fitted router's checks on the set."""

    def as_json(self, strong: str, weak: str) -> RowJSON:
        """The row in JSON; ``strong`` and ``weak`` name the models."""
        cpt = self.cpt or {}
        cost = self.cost_at_cpt or {}
        point, checks = self.point, self.checks
        model = strong if self.name == "strong alone" else weak if self.name == "weak alone" else None
        fitted = checks.provenance.coverage if checks is not None else None
        return {"name": self.name, "kind": self.kind, "model": model, "apgr": self.apgr,
                "apgr_low": _finite(self.interval.low) if self.interval else None,
                "apgr_high": _finite(self.interval.high) if self.interval else None,
                "cpt50": cpt.get(0.5), "cpt80": cpt.get(0.8),
                "cost_at_cpt50": cost.get(0.5), "cost_at_cpt80": cost.get(0.8),
                "strong_share": point.strong_share if point else None, "quality": point.quality if point else None,
                "pgr": point.pgr if point else None, "cost": self.point_cost,
                "placed_strong_share": checks.provenance.complex_share if checks is not None else None,
                "fitted_on_share": checks.fitted_share if checks is not None else None,
                "coverage": checks.coverage.mean if checks is not None and checks.coverage is not None else None,
                "fitted_coverage": fitted.mean if fitted is not None else None}


def _finite(value: float | None) -> float | None:
    """None for NaN (an interval with no resample to rest on): JSON has no NaN."""
    return value if value is None or math.isfinite(value) else None


@dataclass(frozen=True)
class SetReport:
    name: str
    """The file as it was named, or ``pooled (N files)``."""
    prompts: int
    q_strong: float
    q_weak: float
    cost_basis: CostBasis
    rows: list[Row]
    pooled: bool = False
    """Whether the set is several files pooled."""

    def as_json(self, strong: str, weak: str) -> SetJSON:
        """The set in JSON; ``strong`` and ``weak`` name the models."""
        return {"name": self.name, "prompts": self.prompts, "q_strong": self.q_strong, "q_weak": self.q_weak,
                "cost_basis": self.cost_basis, "rows": [row.as_json(strong, weak) for row in self.rows]}


def measure(name: str, scored: Sequence[Scored], strong: Sequence[float], weak: Sequence[float], costs: Costs, *,
            resamples: int, seed: int, level: float = 0.95, pooled: bool = False,
            progress: Callable[[str, int], None] | None = None) -> SetReport:
    """The rows for ``scored`` and the baselines on one set (``pooled``: several files').
    ``progress`` is told each row's name and the resamples drawn for its interval so far (the
    slow part)."""
    n = len(strong)
    gains = scaled_gains(strong, weak)[0]  # the oracle's scores: finite whatever the results
    rows: list[Row] = []

    def curve_row(item: Scored, kind: Literal["router", "baseline"], *, exact: float | None = None) -> Row:
        curve = quality_curve(item.scores, strong, weak)
        if exact is None:
            told = None if progress is None else lambda done: progress(item.name, done)
            interval = bootstrap_apgr(item.scores, strong, weak, resamples=resamples, seed=seed, level=level,
                                      progress=told)
        else:  # random routing is 0.5 by definition, in every resample
            interval = Interval(exact, exact, level, resamples)
        cost_curve = costs.curve(item.scores)
        cpts = {p: curve.cpt(p) for p in CPT_SHARES}
        point = point_cost = None
        if item.mask is not None:
            point, point_cost = operating_point(item.mask, strong, weak), costs.of_mask(item.mask)
        return Row(item.name, kind, curve.apgr(), interval, cpts,
                   {p: costs.at_share(x, cost_curve) for p, x in cpts.items()}, point, point_cost, curve, item.checks)

    for item in scored:
        rows.append(curve_row(item, "router"))
    random_row = curve_row(Scored("random", [0.0] * n, None), "baseline", exact=0.5)
    rows.append(random_row)
    rows.append(curve_row(Scored("oracle", gains, [gain > 0 for gain in gains]), "baseline"))
    assert random_row.curve is not None
    q_strong, q_weak = random_row.curve.q_strong, random_row.curve.q_weak
    for label, to_strong in (("strong alone", True), ("weak alone", False)):
        mask = [to_strong] * n
        rows.append(Row(label, "baseline", None, None, None, None, operating_point(mask, strong, weak),
                        costs.of_mask(mask), None))
    return SetReport(name, n, q_strong, q_weak, costs.basis, rows, pooled)
