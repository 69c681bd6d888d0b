"""The cost and quality of choosing among many models, each with its price, measured on prompts
whose results with every model are known.

A router predicts each model's result on a prompt (q̂_m) and its price (c_m). At a trade-off
λ ≥ 0 it chooses the model with the highest q̂_m − λ·c_m (ties to the lower price, then to the
earlier model): :func:`choose`. Each λ gives a point, the mean actual cost and the mean actual
result over the prompts, each prompt with the model chosen for it.

- **The frontier** (:func:`frontier`) is every such point, traced exactly: a prompt's choice
  changes only where the upper envelope of its lines q̂_m − λ·c_m bends (:func:`envelope`), so
  the points are the choices between those breakpoints, taken over all prompts in order of λ.
- **The hull** (:func:`hull`) of a set of points is their upper convex hull, made
  non-decreasing in cost (flat after its highest point): mixing two routers at random reaches
  every point between them.
- **AIQ** (:func:`aiq`) is the area under a hull between the cheapest and the dearest single
  model's mean cost, divided by that width; a router's hull includes the single models' points.
- **Cost to reach x** (:func:`cost_to_reach`) is the least cost at which a hull reaches a result.

:class:`Plan` holds what a bootstrap resample needs (the frontiers' changes in order of λ, and
the fixed choices), and :func:`resample_figures` measures one resample from its counts of each
prompt: the definitions written out in plain Python, which the native kernel
(``halvec._quality``, used by :mod:`halvec.quality.models`) follows operation for operation, so
that both give the same floats.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from operator import itemgetter

__all__ = ["ChoiceFigures", "Frontier", "FrontierFigures", "FrontierPlan", "HullFigures", "Plan", "Point",
           "ResampleFigures",
           "aiq", "best_model", "choose", "cost_to_reach", "envelope", "frontier", "hull", "resample_figures",
           "value_at"]


@dataclass(frozen=True, slots=True)
class Point:
    """A mean cost per prompt and a mean result."""

    cost: float
    result: float


# --- one prompt ------------------------------------------------------------------------------

def choose(qualities: Sequence[float], prices: Sequence[float], tradeoff: float,
           usable: Sequence[int] | None = None) -> int:
    """The model (an index) with the highest ``qualities[m] - tradeoff * prices[m]`` among
    ``usable`` (default: all); ties go to the lower price, then to the earlier model."""
    best = -1
    best_value = best_price = 0.0
    for m in range(len(qualities)) if usable is None else usable:
        value, price = qualities[m] - tradeoff * prices[m], prices[m]
        if best < 0 or value > best_value or (value == best_value and price < best_price):
            best, best_value, best_price = m, value, price
    if best < 0:
        raise ValueError("no model to choose from")
    return best


def envelope(qualities: Sequence[float], prices: Sequence[float]) -> list[tuple[float, int]]:
    """The choices of :func:`choose` for every λ ≥ 0: ``(λ, model)`` pairs, the first at λ = 0,
    each choice holding from its λ up to the next one's (a breakpoint goes to the cheaper
    model, as a tie does)."""
    # Cheapest first; of equal prices only the best (then the earliest) can ever be chosen, and
    # a model no better than a cheaper one never is: what is left rises in price and in result.
    order = sorted(range(len(prices)), key=lambda m: (prices[m], -qualities[m], m))
    lines: list[int] = []
    for m in order:
        if not lines or (prices[m] != prices[lines[-1]] and qualities[m] > qualities[lines[-1]]):
            lines.append(m)
    # The upper envelope as λ falls from infinity: each dearer, better line takes over below
    # its breakpoint with the one before it; a line whose own stretch is empty is dropped.
    kept: list[int] = []
    starts: list[float] = []  # the λ below which kept[k] takes over from kept[k - 1]
    for m in lines:
        while kept:
            top = kept[-1]
            crossing = (qualities[m] - qualities[top]) / (prices[m] - prices[top])
            if len(kept) > 1 and crossing >= starts[-1]:
                kept.pop()
                starts.pop()
                continue
            starts.append(crossing)
            break
        else:
            starts.append(0.0)
        kept.append(m)
    # From λ = 0 up: the dearest kept line, then each cheaper one from its breakpoint on.
    choices = [(0.0, kept[-1])]
    for k in range(len(kept) - 1, 0, -1):
        at = max(choices[-1][0], starts[k])  # rounding may leave a breakpoint a hair below the one before
        if at == 0.0:  # a breakpoint that rounds to 0 is a tie at λ = 0, which the cheaper model wins
            choices[-1] = (0.0, kept[k - 1])
        else:
            choices.append((at, kept[k - 1]))
    return choices


def best_model(results: Sequence[float], costs: Sequence[float]) -> int:
    """The model with the highest mean result, the cheapest among equals, then the earliest."""
    best = 0
    for m in range(1, len(results)):
        if results[m] > results[best] or (results[m] == results[best] and costs[m] < costs[best]):
            best = m
    return best


# --- hulls -----------------------------------------------------------------------------------

def hull(points: Sequence[Point]) -> list[Point]:
    """The upper convex hull of ``points`` (at least one), from the cheapest up to its highest
    point; after that the hull is flat. Among points of equal cost only the best counts."""
    ordered = sorted(points, key=lambda p: (p.cost, -p.result))
    kept: list[Point] = []
    for p in ordered:
        if kept and p.cost == kept[-1].cost:
            continue
        while len(kept) >= 2:
            a, b = kept[-2], kept[-1]
            if (b.cost - a.cost) * (p.result - a.result) - (b.result - a.result) * (p.cost - a.cost) >= 0.0:
                kept.pop()
            else:
                break
        kept.append(p)
    top = 0
    for k in range(1, len(kept)):
        if kept[k].result > kept[top].result:
            top = k
    return kept[:top + 1]


def value_at(vertices: Sequence[Point], cost: float) -> float:
    """The hull's result at ``cost`` (at its cheapest point's below it, flat after its top)."""
    if cost <= vertices[0].cost:
        return vertices[0].result
    for a, b in zip(vertices, vertices[1:]):
        if cost <= b.cost:
            return _between(a, b, cost)
    return vertices[-1].result


def _between(a: Point, b: Point, cost: float) -> float:
    """The result on the segment from ``a`` to ``b`` at ``cost`` (a share of the way along
    first: nothing overflows, however close the two costs are)."""
    return a.result + (b.result - a.result) * ((cost - a.cost) / (b.cost - a.cost))


def aiq(vertices: Sequence[Point], low: float, high: float) -> float:
    """The area under the hull from cost ``low`` to ``high``, divided by that width (the hull's
    value at ``low`` when the two are equal): each stretch's mean result, weighted by its share
    of the width."""
    if high <= low:
        return value_at(vertices, low)
    width = high - low
    total = 0.0
    for a, b in zip(vertices, vertices[1:]):
        left, right = max(a.cost, low), min(b.cost, high)
        if left < right:
            total += (right - left) / width * ((_between(a, b, left) + _between(a, b, right)) / 2.0)
    top = vertices[-1]
    left = max(top.cost, low)
    if left < high:
        total += (high - left) / width * top.result
    return total


def cost_to_reach(vertices: Sequence[Point], result: float) -> float | None:
    """The least cost at which the hull reaches ``result``; None where it never does."""
    if vertices[0].result >= result:
        return vertices[0].cost
    for a, b in zip(vertices, vertices[1:]):
        if b.result == result:
            return b.cost
        if b.result > result:
            return a.cost + (b.cost - a.cost) * ((result - a.result) / (b.result - a.result))
    return None


# --- a router's frontier ---------------------------------------------------------------------

@dataclass(frozen=True)
class Frontier:
    """A router's exact frontier on a set of prompts: ``points[k]`` is the mean cost and
    result of its choices for λ from ``tradeoffs[k]`` up to ``tradeoffs[k + 1]`` (the last
    with no end)."""

    tradeoffs: tuple[float, ...]
    points: tuple[Point, ...]
    start: tuple[int, ...]
    """Each prompt's choice at λ = 0."""
    changes: tuple[tuple[int, int, int], ...]
    """Every change of a prompt's choice, ``(prompt, from, to)``, in order of λ."""
    ends: tuple[int, ...]
    """The changes up to each point after the first: ``changes[:ends[k - 1]]`` lead to point k."""


def frontier(qualities: Sequence[Sequence[float]], prices: Sequence[Sequence[float]],
             results: Sequence[Sequence[float]], costs: Sequence[Sequence[float]]) -> Frontier:
    """The frontier of a router that predicts ``qualities`` and ``prices`` (a row per prompt, a
    column per model), each point with the prompts' actual ``results`` and ``costs``."""
    n = len(qualities)
    if n == 0:
        raise ValueError("no prompts")
    start: list[int] = []
    events: list[tuple[float, int, int, int]] = []
    for i in range(n):
        choices = envelope(qualities[i], prices[i])
        start.append(choices[0][1])
        for k in range(1, len(choices)):
            events.append((choices[k][0], i, choices[k - 1][1], choices[k][1]))
    events.sort(key=itemgetter(0))  # stable: a prompt's own changes stay in order
    cost = result = 0.0
    for i in range(n):
        cost += costs[i][start[i]]
        result += results[i][start[i]]
    points = [Point(cost / n, result / n)]
    tradeoffs = [0.0]
    ends: list[int] = []
    for e, (tradeoff, i, before, after) in enumerate(events):
        cost += costs[i][after] - costs[i][before]
        result += results[i][after] - results[i][before]
        if e + 1 == len(events) or events[e + 1][0] != tradeoff:
            tradeoffs.append(tradeoff)
            points.append(Point(cost / n, result / n))
            ends.append(e + 1)
    return Frontier(tuple(tradeoffs), tuple(points), tuple(start),
                    tuple((i, before, after) for _, i, before, after in events), tuple(ends))


# --- a bootstrap resample --------------------------------------------------------------------

@dataclass(frozen=True)
class FrontierPlan:
    """A frontier as a resample reads it: each prompt's cost and result at λ = 0, then each
    change's prompt and the cost and result it adds, and the changes up to each point."""

    start_costs: list[float]
    start_results: list[float]
    prompts: list[int]
    costs: list[float]
    results: list[float]
    ends: list[int]


@dataclass(frozen=True)
class Plan:
    """What a resample of a set of prompts is measured on: every prompt's actual results and
    costs (a row per prompt, flattened), the frontiers, the fixed choices (a model per
    prompt: an operating point, the oracle) and the shares of the best model's result whose
    cost to reach is measured."""

    prompts: int
    models: int
    results: list[float]
    costs: list[float]
    frontiers: list[FrontierPlan]
    choices: list[list[int]]
    targets: tuple[float, ...]

    @classmethod
    def of(cls, results: Sequence[Sequence[float]], costs: Sequence[Sequence[float]], frontiers: Sequence[Frontier],
           choices: Sequence[Sequence[int]], targets: Sequence[float]) -> Plan:
        flat_results = [r for row in results for r in row]
        flat_costs = [c for row in costs for c in row]
        plans = []
        for f in frontiers:
            plans.append(FrontierPlan([costs[i][m] for i, m in enumerate(f.start)],
                                      [results[i][m] for i, m in enumerate(f.start)],
                                      [i for i, _, _ in f.changes],
                                      [costs[i][after] - costs[i][before] for i, before, after in f.changes],
                                      [results[i][after] - results[i][before] for i, before, after in f.changes],
                                      list(f.ends)))
        return cls(len(results), len(results[0]) if results else 0, flat_results, flat_costs, plans,
                   [list(c) for c in choices], tuple(targets))


@dataclass(frozen=True)
class HullFigures:
    """A hull's AIQ and its cost to reach each target share of the best single model's
    result, as a share of that model's cost (None where never reached, or where the best
    model costs nothing)."""

    aiq: float
    reach: tuple[float | None, ...]


@dataclass(frozen=True)
class FrontierFigures:
    hull: HullFigures
    """The hull of the frontier's points and the single models'."""
    start: Point
    """The choice at λ = 0 (on quality alone)."""


@dataclass(frozen=True)
class ChoiceFigures:
    point: Point
    calls: tuple[int, ...]
    """The (resampled) prompts sent to each model."""


@dataclass(frozen=True)
class ResampleFigures:
    """Everything a resample measures, in the plan's order."""

    models: tuple[Point, ...]
    """Each model alone."""
    alone: HullFigures
    """The hull of the single models."""
    frontiers: tuple[FrontierFigures, ...]
    choices: tuple[ChoiceFigures, ...]


def resample_figures(plan: Plan, counts: Sequence[int]) -> ResampleFigures:
    """The figures of the resample that holds prompt ``i`` ``counts[i]`` times (a whole
    number, 0 or more; at least one prompt in all). Every sum runs in prompt order, then in
    the frontier's order, as the native kernel's do."""
    n, width = plan.prompts, plan.models
    total = float(sum(counts))
    models = []
    for m in range(width):
        cost = result = 0.0
        for i in range(n):
            cost += counts[i] * plan.costs[i * width + m]
            result += counts[i] * plan.results[i * width + m]
        models.append(Point(cost / total, result / total))
    best = models[best_model([p.result for p in models], [p.cost for p in models])]
    low, high = min(p.cost for p in models), max(p.cost for p in models)

    def figures(points: list[Point]) -> HullFigures:
        vertices = hull(points)
        reach: list[float | None] = []
        for share in plan.targets:
            at = cost_to_reach(vertices, share * best.result)
            reach.append(None if at is None or best.cost == 0.0 else at / best.cost)
        return HullFigures(aiq(vertices, low, high), tuple(reach))

    frontiers = []
    for f in plan.frontiers:
        cost = result = 0.0
        for i in range(n):
            cost += counts[i] * f.start_costs[i]
            result += counts[i] * f.start_results[i]
        points = [Point(cost / total, result / total)]
        e = 0
        for end in f.ends:
            while e < end:
                w = counts[f.prompts[e]]
                cost += w * f.costs[e]
                result += w * f.results[e]
                e += 1
            points.append(Point(cost / total, result / total))
        frontiers.append(FrontierFigures(figures(points + models), points[0]))
    choices = []
    for chosen in plan.choices:
        cost = result = 0.0
        calls = [0] * width
        for i in range(n):
            m = chosen[i]
            cost += counts[i] * plan.costs[i * width + m]
            result += counts[i] * plan.results[i * width + m]
            calls[m] += counts[i]
        choices.append(ChoiceFigures(Point(cost / total, result / total), tuple(calls)))
    return ResampleFigures(tuple(models), figures(list(models)), tuple(frontiers), tuple(choices))
