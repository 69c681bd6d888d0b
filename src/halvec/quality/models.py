"""Routers that choose among many priced models, measured on outcome files: what ``halvec
bench --models`` reports.

- :class:`ModelSet` is a file's prompts with every model's result and cost
  (:meth:`ModelSet.of`, costed by :func:`halvec.quality.costs.prompt_costs`), or several files
  pooled (:func:`pool`).
- :class:`Predictions` is what a router predicts of each prompt: each model's result and
  price; :func:`predict` asks a router for them (anything with ``models``,
  ``qualities(text)`` and ``prices(text)``, as a fitted router has).
- :func:`measure` measures a set (:class:`SetMeasures`): each router's exact frontier and hull
  (:mod:`halvec.quality.frontier`), its AIQ and cost to reach 95% and 100% of the best single
  model's result, its choice on quality alone and the share of the gap to the oracle it
  recovers, its operating point; the models alone, each model alone and the oracle. Every
  figure has a percentile bootstrap interval (prompts resampled with a fixed seed, as
  :func:`halvec.quality.metrics.bootstrap_apgr` resamples them), measured natively
  (``halvec._quality``).
- :func:`measure_models` does it all for outcome files and routers, each file and the files
  pooled, into a :class:`ModelBenchmark`, whose :meth:`~ModelBenchmark.as_json` is its JSON form;
  :func:`measure_predicted` the same from predictions made beforehand.
- :func:`place_for_share` and :func:`place_for_budget` place a router's trade-off λ on its
  frontier.
"""

from __future__ import annotations

import math
import random
import sys
from array import array
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Literal, Protocol, TypedDict

from halvec import _quality
from halvec.quality.costs import CostSource, PromptCosts
from halvec.quality.frontier import (ChoiceFigures, Frontier, FrontierFigures, HullFigures, Plan, Point,
                                     ResampleFigures, best_model, choose, frontier, hull)
from halvec.quality.outcomes import Outcomes

__all__ = ["DEFAULT_TARGETS", "LARGEST", "Estimate", "EstimateJSON", "HullMeasures", "ModelBenchmark",
           "ModelBenchmarkJSON", "ModelMeasures", "ModelSet", "Placement", "PointMeasures", "Predictions", "Predictor",
           "RouterMeasures", "RowJSON", "SetJSON", "SetMeasures", "measure", "measure_models", "measure_predicted",
           "native_figures", "place_for_budget", "place_for_share", "pool", "predict", "resampler"]

DEFAULT_TARGETS = (0.95, 1.0)
"""The shares of the best single model's result whose cost to reach is reported."""
LARGEST = 1e100
"""The largest result or cost measured (in size): far past any real one, and low enough that
no sum or product the measures take can pass the largest double."""


# --- the data --------------------------------------------------------------------------------

@dataclass(frozen=True)
class ModelSet:
    """Prompts with each model's result and cost: a file's, or several files' end to end."""

    name: str
    """The file as it was named, or ``pooled (N files)``."""
    models: tuple[str, ...]
    texts: list[str]
    results: list[list[float]]
    """A row per prompt, a result per model."""
    costs: list[list[float]]
    cost_source: CostSource
    files: tuple[Outcomes, ...]

    @classmethod
    def of(cls, outcomes: Outcomes, costs: PromptCosts) -> ModelSet:
        """A file read with ``models`` (:func:`~halvec.quality.outcomes.read_outcomes`), with its costs."""
        if outcomes.results is None:
            raise ValueError("the outcomes were read for a strong and a weak model: read them with models")
        return cls(outcomes.source, tuple(outcomes.chosen), outcomes.texts, outcomes.results, costs.rows,
                   costs.source, (outcomes,))

    @property
    def pooled(self) -> bool:
        return len(self.files) > 1

    def __len__(self) -> int:
        return len(self.texts)


def pool(sets: Sequence[ModelSet]) -> ModelSet:
    """The sets end to end. They have the same models, in the same order, and costs from one
    source (measured costs beside estimated ones would mislead): else ValueError."""
    first = sets[0]
    for s in sets[1:]:
        if s.models != first.models:
            raise ValueError(f"{s.name!r} has the models {', '.join(s.models)}, where {first.name!r} has "
                             f"{', '.join(first.models)}: files pooled need the same models")
        if s.cost_source != first.cost_source:
            raise ValueError(f"{s.name!r} is costed from the {s.cost_source}, {first.name!r} from the "
                             f"{first.cost_source}: files pooled need costs of one kind")
    files = tuple(f for s in sets for f in s.files)
    return ModelSet(f"pooled ({len(files)} files)", first.models, [t for s in sets for t in s.texts],
                    [r for s in sets for r in s.results], [c for s in sets for c in s.costs], first.cost_source,
                    files)


class Predictor(Protocol):
    """A router that predicts each of its models' result on a text, and its price."""

    @property
    def models(self) -> tuple[str, ...]: ...
    def qualities(self, text: str) -> dict[str, float]: ...
    def prices(self, text: str) -> dict[str, float]: ...


@dataclass(frozen=True)
class Predictions:
    """A router's predictions on a set's prompts: a row per prompt, a value per model of its own."""

    name: str
    models: tuple[str, ...]
    qualities: list[list[float]]
    prices: list[list[float]]
    tradeoff: float | None = None
    """The trade-off λ of its own operating point, where it has one."""


def predict(name: str, router: Predictor, texts: Sequence[str], tradeoff: float | None = None) -> Predictions:
    """``router``'s predictions on ``texts``: natively in one call each for a router that reads
    many texts at once (``qualities_batch`` and ``prices_batch``, as a fitted router has them)."""
    models = tuple(router.models)
    batch_qualities, batch_prices = getattr(router, "qualities_batch", None), getattr(router, "prices_batch", None)
    if callable(batch_qualities) and callable(batch_prices):
        listed = list(texts)
        return Predictions(name, models, [[float(v) for v in row] for row in batch_qualities(listed)],
                           [[float(v) for v in row] for row in batch_prices(listed)], tradeoff)
    qualities, prices = [], []
    for text in texts:
        q, p = router.qualities(text), router.prices(text)
        qualities.append([float(q[m]) for m in models])
        prices.append([float(p[m]) for m in models])
    return Predictions(name, models, qualities, prices, tradeoff)


def _pooled(predictions: Sequence[Predictions]) -> Predictions:
    first = predictions[0]
    return Predictions(first.name, first.models, [r for p in predictions for r in p.qualities],
                       [r for p in predictions for r in p.prices], first.tradeoff)


# --- the measures ----------------------------------------------------------------------------

class EstimateJSON(TypedDict):
    value: float | None
    low: float | None
    high: float | None


@dataclass(frozen=True)
class Estimate:
    """A figure measured on the set, and its bootstrap interval (None where it is undefined:
    a target never reached, no gap to recover; the interval rests on the resamples where it
    is defined)."""

    value: float | None
    low: float | None
    high: float | None

    def as_json(self) -> EstimateJSON:
        return {"value": self.value, "low": self.low, "high": self.high}


@dataclass(frozen=True)
class HullMeasures:
    """A hull's AIQ and its cost to reach each target share of the best single model's result,
    as a share of that model's cost."""

    aiq: Estimate
    reach: dict[float, Estimate]
    vertices: tuple[Point, ...]
    """The hull on the set itself, from its cheapest point to its highest."""


@dataclass(frozen=True)
class PointMeasures:
    """An operating point: a model chosen for each prompt."""

    result: Estimate
    """The mean result."""
    cost: Estimate
    """The mean cost per prompt."""
    calls: dict[str, Estimate]
    """The share of the prompts sent to each model."""
    tradeoff: float | None
    """The trade-off λ it is chosen at."""


@dataclass(frozen=True)
class RouterMeasures:
    name: str
    kind: Literal["router", "oracle"]
    frontier: Frontier
    hull: HullMeasures
    """The hull of its frontier and the single models' points."""
    quality_only: PointMeasures
    """The choice at λ = 0 (for the oracle, the oracle itself)."""
    gap_recovered: Estimate
    """(quality-only result − best single model's) / (oracle's − best single model's)."""
    operating: PointMeasures | None
    """At its own trade-off, where it has one."""


@dataclass(frozen=True)
class ModelMeasures:
    model: str
    result: Estimate
    cost: Estimate


class RowJSON(TypedDict):
    name: str
    kind: str
    """``router``, ``oracle``, ``models alone`` or ``model``."""
    model: str | None
    aiq: EstimateJSON | None
    cost_to_reach: dict[str, EstimateJSON] | None
    """By target share (``"0.95"``, ``"1"``)."""
    result: EstimateJSON | None
    cost: EstimateJSON | None
    calls: dict[str, EstimateJSON] | None
    tradeoff: float | None
    quality_only: dict[str, EstimateJSON] | None
    """``result``, ``cost`` and ``gap_recovered`` of the choice at λ = 0."""
    hull: list[list[float]] | None


class SetJSON(TypedDict):
    name: str
    prompts: int
    pooled: bool
    models: list[str]
    cost_source: str
    best_model: str
    rows: list[RowJSON]


def _share_key(share: float) -> str:
    return f"{share:g}"


@dataclass(frozen=True)
class SetMeasures:
    """Every figure of one set."""

    name: str
    prompts: int
    models: tuple[str, ...]
    cost_source: CostSource
    pooled: bool
    best_model: str
    """The single model with the highest mean result, the cheapest among equals."""
    routers: list[RouterMeasures]
    oracle: RouterMeasures
    models_alone: HullMeasures
    single: list[ModelMeasures]

    def as_json(self) -> SetJSON:
        def reach(h: HullMeasures) -> dict[str, EstimateJSON]:
            return {_share_key(share): e.as_json() for share, e in h.reach.items()}

        def vertices(h: HullMeasures) -> list[list[float]]:
            return [[p.cost, p.result] for p in h.vertices]

        def router_row(r: RouterMeasures) -> RowJSON:
            point = r.operating if r.kind == "router" else r.quality_only
            return {"name": r.name, "kind": r.kind, "model": None, "aiq": r.hull.aiq.as_json(),
                    "cost_to_reach": reach(r.hull), "result": point.result.as_json() if point else None,
                    "cost": point.cost.as_json() if point else None,
                    "calls": {m: e.as_json() for m, e in point.calls.items()} if point else None,
                    "tradeoff": point.tradeoff if point else None,
                    "quality_only": {"result": r.quality_only.result.as_json(), "cost": r.quality_only.cost.as_json(),
                                     "gap_recovered": r.gap_recovered.as_json()},
                    "hull": vertices(r.hull)}

        rows = [router_row(r) for r in self.routers]
        rows.append({"name": "models alone", "kind": "models alone", "model": None,
                     "aiq": self.models_alone.aiq.as_json(), "cost_to_reach": reach(self.models_alone),
                     "result": None, "cost": None, "calls": None, "tradeoff": None, "quality_only": None,
                     "hull": vertices(self.models_alone)})
        rows.append(router_row(self.oracle))
        for single in self.single:
            rows.append({"name": f"{single.model} alone", "kind": "model", "model": single.model, "aiq": None,
                         "cost_to_reach": None, "result": single.result.as_json(), "cost": single.cost.as_json(),
                         "calls": None, "tradeoff": None, "quality_only": None, "hull": None})
        return {"name": self.name, "prompts": self.prompts, "pooled": self.pooled, "models": list(self.models),
                "cost_source": self.cost_source, "best_model": self.best_model, "rows": rows}


def _columns(s: ModelSet, predictions: Predictions) -> list[int]:
    """The set's column of each of the router's models."""
    missing = [m for m in predictions.models if m not in s.models]
    if missing:
        raise ValueError(f"the router {predictions.name!r} chooses among {', '.join(map(repr, missing))}, which "
                         f"{s.name!r} has no results for (it has {', '.join(map(repr, s.models))})")
    if len(predictions.qualities) != len(s) or len(predictions.prices) != len(s):
        raise ValueError(f"the router {predictions.name!r} has predictions for {len(predictions.qualities)} "
                         f"prompts, where {s.name!r} has {len(s)}")
    width = len(predictions.models)
    for i, (q, p) in enumerate(zip(predictions.qualities, predictions.prices)):
        if len(q) != width or len(p) != width or not all(map(math.isfinite, q)) or not all(map(math.isfinite, p)):
            raise ValueError(f"the router {predictions.name!r}: prompt {i}'s predictions are not a finite number "
                             f"for each of its {width} models")
    return [s.models.index(m) for m in predictions.models]


def _router_frontier(s: ModelSet, predictions: Predictions, columns: list[int]) -> Frontier:
    """The router's frontier, its choices given as the set's columns."""
    results = [[row[c] for c in columns] for row in s.results]
    costs = [[row[c] for c in columns] for row in s.costs]
    f = frontier(predictions.qualities, predictions.prices, results, costs)
    return Frontier(f.tradeoffs, f.points, tuple(columns[m] for m in f.start),
                    tuple((i, columns[a], columns[b]) for i, a, b in f.changes), f.ends)


def _choices_at(predictions: Predictions, columns: list[int], tradeoff: float) -> list[int]:
    return [columns[choose(q, p, tradeoff)] for q, p in zip(predictions.qualities, predictions.prices)]


def resampler(plan: Plan) -> _quality.Resampler:
    """The native kernel for ``plan``: :meth:`figures` of a resample's counts gives what
    :func:`halvec.quality.frontier.resample_figures` gives."""
    return _quality.Resampler(plan.prompts, plan.models, plan.results, plan.costs,
                              [(f.start_costs, f.start_results, f.prompts, f.costs, f.results, f.ends)
                               for f in plan.frontiers], plan.choices, list(plan.targets))


def native_figures(kernel: _quality.Resampler, counts: list[int]) -> ResampleFigures:
    """The kernel's figures of a resample, as :func:`~halvec.quality.frontier.resample_figures` gives them."""
    models, hulls, starts, choices = kernel.figures(counts)
    return ResampleFigures(tuple(Point(c, r) for c, r in models), HullFigures(hulls[0][0], hulls[0][1]),
                           tuple(FrontierFigures(HullFigures(aiq, reach), Point(*start))
                                 for (aiq, reach), start in zip(hulls[1:], starts)),
                           tuple(ChoiceFigures(Point(*point), calls) for point, calls in choices))


def _draw(n: int, rng: random.Random) -> Callable[[], list[int]]:
    """Counts per prompt, from n prompts drawn uniformly with replacement."""
    swap = sys.byteorder == "big"  # the same draws on every machine

    def draw() -> list[int]:
        words = array("Q")
        words.frombytes(rng.randbytes(8 * n))
        if swap:
            words.byteswap()
        counts = [0] * n
        for word in words:  # a 64-bit word modulo n is uniform to within n / 2**64
            counts[word % n] += 1
        return counts

    return draw


class _Collected:
    """A figure's values: on the set, then one per resample (None where undefined)."""

    def __init__(self) -> None:
        self.values: dict[str, list[float | None]] = {}

    def add(self, key: str, value: float | None) -> None:
        self.values.setdefault(key, []).append(value)

    def estimate(self, key: str, level: float) -> Estimate:
        value, *rest = self.values[key]
        kept = sorted(v for v in rest if v is not None)
        if not kept:
            return Estimate(value, None, None)
        tail = (1.0 - level) / 2
        return Estimate(value, _quantile(kept, tail), _quantile(kept, 1.0 - tail))


def _quantile(values: list[float], q: float) -> float:
    """The ``q`` quantile of sorted ``values``, between order statistics (as bench's APGR interval)."""
    at = q * (len(values) - 1)
    low = math.floor(at)
    high = min(low + 1, len(values) - 1)
    return values[low] + (values[high] - values[low]) * (at - low)


def _collect(figures: ResampleFigures, into: _Collected, models: tuple[str, ...], targets: Sequence[float]) -> None:
    """A resample's figures, by key. Frontier 0 is the oracle's; choice 0 the oracle's, then each
    router's choice at λ = 0 and (where it has one) at its own trade-off."""
    points = figures.models
    best = points[best_model([p.result for p in points], [p.cost for p in points])]
    oracle = figures.frontiers[0].start.result
    for m, p in zip(models, points):
        into.add(f"model {m} result", p.result)
        into.add(f"model {m} cost", p.cost)
    hulls = [("alone", figures.alone)] + [(f"frontier {k}", f.hull) for k, f in enumerate(figures.frontiers)]
    for key, h in hulls:
        into.add(f"{key} aiq", h.aiq)
        for share, reach in zip(targets, h.reach):
            into.add(f"{key} reach {share!r}", reach)
    for k, f in enumerate(figures.frontiers):
        gap = oracle - best.result
        into.add(f"frontier {k} gap", None if gap == 0.0 else (f.start.result - best.result) / gap)
    total = sum(figures.choices[0].calls)
    for k, c in enumerate(figures.choices):
        into.add(f"choice {k} result", c.point.result)
        into.add(f"choice {k} cost", c.point.cost)
        for m, calls in zip(models, c.calls):
            into.add(f"choice {k} calls {m}", calls / total)


def measure(s: ModelSet, routers: Sequence[Predictions], *, resamples: int = 1000, seed: int = 0,
            level: float = 0.95, targets: Sequence[float] = DEFAULT_TARGETS,
            progress: Callable[[int], None] | None = None) -> SetMeasures:
    """Every figure of ``s`` for ``routers`` and the baselines, each with its bootstrap interval
    (``resamples`` from a generator seeded with ``seed``; the middle ``level`` of them).
    ``progress``, if given, is told the resamples drawn so far, now and then. ValueError for
    a router whose models the set lacks, or whose predictions do not match the set."""
    if resamples < 1:
        raise ValueError(f"resamples must be 1 or more, not {resamples!r}")
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must be between 0 and 1, not {level!r}")
    if len(s) == 0:
        raise ValueError(f"{s.name!r}: no prompts")
    for what, values in (("result", s.results), ("cost", s.costs)):
        if any(abs(value) > LARGEST for row in values for value in row):
            raise ValueError(f"{s.name!r}: a {what} larger than {LARGEST:g} in size, too large to measure")
    oracle = frontier(s.results, s.costs, s.results, s.costs)
    frontiers, choices = [oracle], [list(oracle.start)]
    chosen: list[tuple[int, int | None]] = [(0, None)]  # each frontier's choices at λ = 0 and at its own λ
    for predictions in routers:
        columns = _columns(s, predictions)
        f = _router_frontier(s, predictions, columns)
        frontiers.append(f)
        choices.append(list(f.start))
        at_own = None
        if predictions.tradeoff is not None:
            at_own = len(choices)
            choices.append(_choices_at(predictions, columns, predictions.tradeoff))
        chosen.append((len(choices) - 1 - (at_own is not None), at_own))
    plan = Plan.of(s.results, s.costs, frontiers, choices, targets)
    kernel = resampler(plan)
    collected = _Collected()
    n = len(s)
    own = native_figures(kernel, [1] * n)
    _collect(own, collected, s.models, plan.targets)
    draw = _draw(n, random.Random(seed))
    for done in range(resamples):
        _collect(native_figures(kernel, draw()), collected, s.models, plan.targets)
        if progress is not None and done % 16 == 15:
            progress(done + 1)

    def est(key: str) -> Estimate:
        return collected.estimate(key, level)

    def hull_measures(key: str, points: Sequence[Point]) -> HullMeasures:
        return HullMeasures(est(f"{key} aiq"), {share: est(f"{key} reach {share!r}") for share in plan.targets},
                            tuple(hull(points)))

    def point_measures(k: int, tradeoff: float | None) -> PointMeasures:
        return PointMeasures(est(f"choice {k} result"), est(f"choice {k} cost"),
                             {m: est(f"choice {k} calls {m}") for m in s.models}, tradeoff)

    rows = []
    for k, (f, (at_zero, at_own)) in enumerate(zip(frontiers, chosen)):
        name = "oracle" if k == 0 else routers[k - 1].name
        kind: Literal["router", "oracle"] = "oracle" if k == 0 else "router"
        rows.append(RouterMeasures(name, kind, f, hull_measures(f"frontier {k}", [*f.points, *own.models]),
                                   point_measures(at_zero, 0.0), est(f"frontier {k} gap"),
                                   None if at_own is None else point_measures(at_own, routers[k - 1].tradeoff)))
    best = best_model([p.result for p in own.models], [p.cost for p in own.models])
    return SetMeasures(s.name, n, s.models, s.cost_source, s.pooled, s.models[best], rows[1:], rows[0],
                       hull_measures("alone", own.models),
                       [ModelMeasures(m, est(f"model {m} result"), est(f"model {m} cost")) for m in s.models])


# --- placing a router's trade-off ------------------------------------------------------------

@dataclass(frozen=True)
class Placement:
    """A trade-off λ placed on a frontier, and the point it gives there."""

    tradeoff: float
    point: Point
    chosen_by: Literal["target_share", "budget"]
    target: float
    """The share of the best single model's result, or the budget per prompt."""


def _within(f: Frontier, k: int) -> float:
    """A λ inside point k's stretch (the middle of it; twice its start for the last, which
    has no end), so that a choice a hair off the data's does not move it."""
    if len(f.tradeoffs) == 1:
        return 0.0
    if k + 1 < len(f.tradeoffs):
        return (f.tradeoffs[k] + f.tradeoffs[k + 1]) / 2
    return 2 * f.tradeoffs[k]


def place_for_share(f: Frontier, best_result: float, share: float) -> Placement | None:
    """The cheapest point of ``f`` whose result is at least ``share`` of ``best_result`` (the
    best single model's; the better of equally cheap points): its λ. None where none is."""
    wanted = share * best_result
    found = [k for k, p in enumerate(f.points) if p.result >= wanted]
    if not found:
        return None
    k = min(found, key=lambda k: (f.points[k].cost, -f.points[k].result, k))
    return Placement(_within(f, k), f.points[k], "target_share", share)


def place_for_budget(f: Frontier, budget: float) -> Placement | None:
    """The best result of ``f`` at a mean cost per prompt of at most ``budget`` (the cheaper of
    equally good points): its λ. None where every point costs more."""
    found = [k for k, p in enumerate(f.points) if p.cost <= budget]
    if not found:
        return None
    k = min(found, key=lambda k: (-f.points[k].result, f.points[k].cost, k))
    return Placement(_within(f, k), f.points[k], "budget", budget)


# --- outcome files and routers ---------------------------------------------------------------

class ModelBenchmarkJSON(TypedDict):
    """The JSON form of a :class:`ModelBenchmark` (``bench --models --json``)."""

    models: list[str]
    routers: list[str]
    resamples: int
    seed: int
    level: float
    targets: list[float]
    files: list[dict[str, object]]
    sets: list[SetJSON]


@dataclass(frozen=True)
class ModelBenchmark:
    """Every set's measures (each file's, then the files pooled), with how they were made."""

    sets: list[SetMeasures]
    files: list[ModelSet]
    routers: list[str]
    resamples: int
    seed: int
    level: float
    targets: tuple[float, ...]

    def as_json(self) -> ModelBenchmarkJSON:
        return {"models": list(self.files[0].models), "routers": self.routers, "resamples": self.resamples,
                "seed": self.seed, "level": self.level, "targets": list(self.targets),
                "files": [{"source": f.name, "prompts": len(f), "cost_source": f.cost_source} for f in self.files],
                "sets": [s.as_json() for s in self.sets]}


def measure_models(files: Sequence[ModelSet], routers: Sequence[tuple[str, Predictor, float | None]], *,
                   resamples: int = 1000, seed: int = 0, level: float = 0.95,
                   targets: Sequence[float] = DEFAULT_TARGETS,
                   progress: Callable[[int, int], None] | None = None) -> ModelBenchmark:
    """Each file, and with several the files pooled, measured for ``routers`` (each a name, a
    router and the λ of its operating point, or None) and the baselines. ``progress`` is told
    the resamples drawn so far and in all."""
    predicted = [[predict(name, router, f.texts, tradeoff) for name, router, tradeoff in routers] for f in files]
    return measure_predicted(files, predicted, resamples=resamples, seed=seed, level=level, targets=targets,
                             progress=progress)


def measure_predicted(files: Sequence[ModelSet], predicted: Sequence[Sequence[Predictions]], *,
                      resamples: int = 1000, seed: int = 0, level: float = 0.95,
                      targets: Sequence[float] = DEFAULT_TARGETS,
                      progress: Callable[[int, int], None] | None = None) -> ModelBenchmark:
    """:func:`measure_models` from predictions made beforehand: for each file, each router's
    (the same routers, in the same order, for every file)."""
    sets = list(zip(files, predicted))
    names = [p.name for p in predicted[0]] if predicted else []
    if len(files) > 1:
        sets.append((pool(files), [_pooled([p[r] for p in predicted]) for r in range(len(names))]))
    total = len(sets) * resamples
    measured = []
    for index, (s, predictions) in enumerate(sets):
        told = None if progress is None else (lambda done, index=index: progress(index * resamples + done, total))
        measured.append(measure(s, predictions, resamples=resamples, seed=seed, level=level, targets=targets,
                                progress=told))
    return ModelBenchmark(measured, list(files), names, resamples, seed, level, tuple(targets))
