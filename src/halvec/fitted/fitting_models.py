"""A router of many models fitted to outcome files, as ``halvec fit --models`` fits one (needs
the extra ``halvec[fit]``).

:func:`fit_models_router` takes outcome sets read with ``models`` (each prompt's result with
every model, :func:`halvec.quality.outcomes.read_outcomes`) and:

1. **prices the models** (:mod:`halvec.fitted.pricing`): from the files' per-prompt costs (each
   model's mean, or a price that grows with the description where that measures better), else
   from a prices file's prices per 1,000 tokens, else from the catalogue's;
2. **measures before it fits**: every prompt's results are predicted by a model fitted on the
   other folds (:func:`halvec.fitted.fit_models.cross_validate`), priced by prices fitted on
   the same folds, and those predictions are measured fold by fold, file by file and over all
   the prompts by :func:`halvec.quality.models.measure` (AIQ, cost to reach 95% and 100% of the
   best single model's result, the quality-only choice's share of the gap to the oracle, the
   operating point; beside the models alone and the oracle, each figure with its bootstrap
   interval): :class:`ModelsFitReport`;
3. **places the trade-off** λ on the cross-validated frontier of all the prompts
   (:class:`Target`: the cheapest point at a share of the best single model's result, the best
   point within a budget, or λ as given);
4. **fits the model on all the prompts** and records what it was fitted on in the file's
   ``fitted_on`` (the files, the settings, the prices, the figures, the versions, a digest of
   the prompts and their coverage).

What the data warns of is data too (:data:`ModelsFitWarning`); prompts a router cannot be
fitted on raise :class:`~halvec.fitted.fit.FitProblem`, and models without prices
:class:`~halvec.quality.costs.MissingPrices`.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from functools import cached_property
from typing import Any, Literal, TypedDict

import halvec
from halvec.reading import ROUTER_FILE
from halvec.core import model_router as mr
from halvec.evaluation import Prices
from halvec.fitted import fit_models, pricing
from halvec.fitted.fit import MIN_PROMPTS, FitProblem, distinct, library, library_versions, with_provenance
from halvec.fitted.fitting import DigestLeftOut, RepeatedPrompts, TooFewPrompts, TooFewTexts
from halvec.fitted.models_file import ModelsSpec, Tradeoff
from halvec.fitted.models_file import Prices as FilePrices
from halvec.fitted.router import FittedRouter
from halvec.fitted.router_file import dumps
from halvec.quality.costs import prompt_costs
from halvec.quality.frontier import Frontier, Point, best_model, frontier
from halvec.quality.models import (Estimate, EstimateJSON, ModelSet, Predictions, SetJSON, SetMeasures, measure,
                                   place_for_budget, place_for_share, pool)
from halvec.quality.outcomes import Outcomes
from halvec.quality.paired import compare
from halvec.quality.pooling import DifferentScales

__all__ = ["FewPrompts", "ModelsFitJSON", "ModelsFitReport", "ModelsFitResult", "ModelsFitWarning", "Placed",
           "PriceChoice", "PricesUnused", "Target", "TargetMissed", "fit_models_router"]

DEFAULT_SHARE = 0.95
"""The default target: the cheapest point whose result is 95% of the best single model's."""


@dataclass(frozen=True)
class Target:
    """How the router's own trade-off λ is placed: for a share of the best single model's result
    (the cheapest point of the cross-validated frontier that reaches it), for a budget (the best
    result at a mean cost per prompt of at most it), or given as it is."""

    chosen_by: Literal["target_share", "budget", "tradeoff"]
    value: float

    @classmethod
    def share(cls, share: float = DEFAULT_SHARE) -> Target:
        return cls("target_share", share)

    @classmethod
    def budget(cls, cost: float) -> Target:
        return cls("budget", cost)

    @classmethod
    def tradeoff(cls, tradeoff: float) -> Target:
        return cls("tradeoff", tradeoff)

    def __post_init__(self) -> None:
        if not (self.value >= 0 and self.value < float("inf")):
            raise ValueError(f"{self.chosen_by}: a finite number at least 0, not {self.value!r}")


# --- what the data warns of ------------------------------------------------------------------

@dataclass(frozen=True)
class FewPrompts:
    """Fewer prompts than :data:`~halvec.fitted.fit.MIN_PROMPTS`, fitted on as asked: the
    figures are noisy. ``spread`` is the measured spread of the cross-validated AIQ's gain over
    the models alone from one draw of about as many prompts to another (one standard
    deviation, as a share of the oracle's gain; :data:`NOISE`), where it was measured."""

    prompts: int
    least: int
    spread: float | None
    measured_at: int | None
    """The draws' size it was measured at: the nearest measured one."""


@dataclass(frozen=True)
class TargetMissed:
    """The cross-validated frontier never reaches the target share (the point of the highest
    result is used), or costs more than the budget everywhere (the cheapest point is used)."""

    target: Target
    point: Point


@dataclass(frozen=True)
class PricesUnused:
    """Prices were given, but the files' own per-prompt costs price the models."""


ModelsFitWarning = RepeatedPrompts | DifferentScales | DigestLeftOut | FewPrompts | TargetMissed | PricesUnused
"""What the data a router of many models is fitted on warns of."""

NOISE: dict[int, float] = {100: 0.13, 200: 0.07, 300: 0.09, 500: 0.08}
"""The spread of the cross-validated AIQ's gain over the models alone from draw to draw of N
prompts, as a share of the oracle's gain (one standard deviation), by N; measured by
``benchmarks/quality/bench_fitted_models_noise.py`` (docs/fitted_routers.md)."""


# --- the report ------------------------------------------------------------------------------

class PriceChoiceJSON(TypedDict):
    source: str
    detail: str
    form: str
    per_prompt: list[float]
    per_input_token: list[float]
    compared: dict[str, EstimateJSON] | None
    by_length_gain: EstimateJSON | None


@dataclass(frozen=True)
class PriceChoice:
    """The router's prices, where they came from and how they were made; where the files' costs
    price the models, the cross-validated AIQ with each form (``mean``, ``by length``)."""

    source: Literal["outcome costs", "prices file", "catalogue"]
    detail: str
    model: pricing.PriceModel
    compared: dict[str, Estimate] | None
    """The cross-validated AIQ with each form, where they were compared."""
    gain: Estimate | None
    """How much the price by length adds to that AIQ, with the paired interval: it is kept where
    the whole interval lies above 0."""

    def as_json(self) -> PriceChoiceJSON:
        return {"source": self.source, "detail": self.detail, "form": self.model.form,
                "per_prompt": list(self.model.per_prompt), "per_input_token": list(self.model.per_input_token),
                "compared": None if self.compared is None else {k: e.as_json() for k, e in self.compared.items()},
                "by_length_gain": None if self.gain is None else self.gain.as_json()}


class PlacedJSON(TypedDict):
    tradeoff: float
    chosen_by: str
    target: float | None
    reached: bool
    cost: float
    result: float


@dataclass(frozen=True)
class Placed:
    """The router's trade-off, how it was chosen, and the cross-validated point it gives."""

    tradeoff: float
    target: Target
    point: Point
    reached: bool
    """Whether the point meets the target (always, for a trade-off given as it is)."""

    def as_json(self) -> PlacedJSON:
        return {"tradeoff": self.tradeoff, "chosen_by": self.target.chosen_by,
                "target": None if self.target.chosen_by == "tradeoff" else self.target.value,
                "reached": self.reached, "cost": self.point.cost, "result": self.point.result}


class ModelsFitJSON(TypedDict):
    """The JSON form of a :class:`ModelsFitReport` (``fit --models --json``'s ``report``)."""

    models: list[str]
    prompts: int
    folds: int
    seed: int
    resamples: int
    settings: dict[str, Any]
    prices: PriceChoiceJSON
    placed: PlacedJSON
    by_fold: list[SetJSON]
    by_file: list[SetJSON]
    overall: SetJSON


@dataclass(frozen=True)
class ModelsFitReport:
    """The cross-validated figures: each fold's prompts, each file's (with several), and all the
    prompts; each with the router measured at its trade-off beside the models alone and the
    oracle (:class:`~halvec.quality.models.SetMeasures`)."""

    models: tuple[str, ...]
    folds: int
    seed: int
    resamples: int
    settings: fit_models.ModelSettings
    prices: PriceChoice
    placed: Placed
    by_fold: list[SetMeasures]
    by_file: list[SetMeasures]
    """Each file's figures; empty for one file."""
    overall: SetMeasures
    predicted: list[list[float]] = field(repr=False)
    """Each prompt's cross-validated predicted results (a row a prompt), the files end to end."""

    def as_json(self) -> ModelsFitJSON:
        return {"models": list(self.models), "prompts": self.overall.prompts, "folds": self.folds, "seed": self.seed,
                "resamples": self.resamples, "settings": self.settings.as_json(), "prices": self.prices.as_json(),
                "placed": self.placed.as_json(), "by_fold": [s.as_json() for s in self.by_fold],
                "by_file": [s.as_json() for s in self.by_file], "overall": self.overall.as_json()}


@dataclass(frozen=True)
class ModelsFitResult:
    """A fitted router's file content (version 2), with how it measured."""

    spec: ModelsSpec
    report: ModelsFitReport
    warnings: list[ModelsFitWarning]

    @cached_property
    def router(self) -> FittedRouter:
        return FittedRouter(self.spec)


# --- the fit ---------------------------------------------------------------------------------

Progress = Callable[[Literal["fits", "resamples"], int, int], None]
"""Told the stage (the fits, then the bootstrap's resamples), the steps done and the steps in all."""


def fit_models_router(sets: Sequence[Outcomes], *, prices: Prices | None = None, keys: Mapping[str, str] | None = None,
                      target: Target = Target.share(), name: str = "fitted", folds: int = 10, seed: int = 0,
                      field: str = "prompt", settings: fit_models.ModelSettings = fit_models.ModelSettings(),
                      least: int = MIN_PROMPTS, resamples: int = 1000, progress: Progress | None = None,
                      warn: Callable[[ModelsFitWarning], None] | None = None) -> ModelsFitResult:
    """A router of the models of ``sets`` (read with the same ``models``, in the same order),
    fitted on their prompts pooled, ``folds`` folds shuffled by ``seed``, its trade-off placed
    for ``target``. Without per-prompt costs in the files, the models are priced at ``prices``
    (None: the catalogue's), each under ``keys.get(model, model)``; the file's ``catalogue``
    maps the models whose key is in the catalogue in force. ``least`` is the fewest prompts
    fitted on (below :data:`~halvec.fitted.fit.MIN_PROMPTS`, with a warning); ``resamples``
    the bootstrap's. ``progress`` is told how far it is (:data:`Progress`); ``warn`` each
    warning as it is found. :class:`FitProblem` for prompts a router cannot be fitted on,
    :class:`~halvec.quality.costs.MissingPrices` for models without a price, ValueError for
    sets of other models or costs of different kinds."""
    if folds < 2:
        raise ValueError(f"folds: at least 2, not {folds}")
    if least < 1:
        raise ValueError(f"least: at least 1, not {least}")
    if not sets:
        raise ValueError("no outcome sets")
    models = tuple(sets[0].chosen)
    for s in sets:
        if s.results is None:
            raise ValueError(f"{s.source!r} was read for a strong and a weak model: read it with models")
        if tuple(s.chosen) != models:
            raise ValueError(f"{s.source!r} has the models {', '.join(s.chosen)}, where {sets[0].source!r} has "
                             f"{', '.join(models)}: files fitted on together need the same models")
    warnings: list[ModelsFitWarning] = []

    def said(warning: ModelsFitWarning | None) -> None:
        if warning is not None:
            warnings.append(warning)
            if warn is not None:
                warn(warning)

    texts = [text for s in sets for text in s.texts]
    if len(texts) < least:
        raise TooFewPrompts(len(texts), least)
    different = distinct(texts)
    if folds > different:
        raise TooFewTexts(len(texts), different, folds)
    said(RepeatedPrompts(len(texts) - different, len(texts)) if different < len(texts) else None)
    said(_few(len(texts)) if len(texts) < MIN_PROMPTS else None)
    said(_different_scales(sets))
    costed = [ModelSet.of(s, prompt_costs(s, prices, keys)) for s in sets]
    said(PricesUnused() if prices is not None and costed[0].cost_source == "outcome costs" else None)
    data = pool(costed) if len(costed) > 1 else costed[0]

    numpy = library("numpy")
    fits = folds + 1
    told = None if progress is None else (lambda done: progress("fits", done, fits))
    prompts = fit_models.read_prompts(texts, settings)
    predicted, fold_of = fit_models.cross_validate(prompts, data.results, folds=folds, seed=seed, settings=settings,
                                                   progress=told)
    tokens = pricing.input_tokens(texts)
    costs = numpy.asarray(data.costs, dtype=float)
    choice, priced = _prices(data, models, costs, tokens, fold_of, folds, predicted, prices, keys, resamples, seed)
    placed = _place(data, predicted, priced, target)
    said(None if placed.reached else TargetMissed(target, placed.point))

    bounds = numpy.cumsum([0, *(len(s) for s in costed)])
    parts = [(f"fold {k + 1}", numpy.flatnonzero(fold_of == k)) for k in range(folds)]
    if len(costed) > 1:
        parts += [(s.name, numpy.arange(bounds[i], bounds[i + 1])) for i, s in enumerate(costed)]
    parts.append((data.name, numpy.arange(len(data))))
    total = len(parts) * resamples
    measured = []
    for index, (part, rows) in enumerate(parts):
        told_resamples = None if progress is None else (
            lambda done, index=index: progress("resamples", index * resamples + done, total))
        subset = _subset(data, part, rows)
        routed = Predictions(name, models, predicted[rows].tolist(), priced[rows].tolist(), placed.tradeoff)
        measured.append(measure(subset, [routed], resamples=resamples, seed=seed, progress=told_resamples))
    report = ModelsFitReport(models, folds, seed, resamples, settings, choice, placed, measured[:folds],
                             measured[folds:-1], measured[-1], predicted.tolist())

    model = fit_models.fit(prompts, data.results, settings)
    if progress is not None:
        progress("fits", fits, fits)
    catalogue = {m: (keys or {}).get(m, m) for m in models}
    spec = fit_models.spec_of(
        model, name=name, models=models,
        prices=FilePrices(choice.model.per_prompt, choice.model.per_input_token, choice.source, choice.detail),
        tradeoff=Tradeoff(placed.tradeoff, target.chosen_by,
                          None if target.chosen_by == "tradeoff" else target.value),
        catalogue={m: key for m, key in catalogue.items() if key in mr.AVAILABLE_MODELS},
        fitted_on=_fitted_on(sets, report, field, len(texts) - different, least))
    spec = with_provenance(spec, texts)
    if spec.fitted_on.get("prompt_digest") is not None and len(dumps(spec).encode("utf-8")) > ROUTER_FILE.bytes:
        spec = replace(spec, fitted_on={**spec.fitted_on, "prompt_digest": None})
        said(DigestLeftOut(different))
    return ModelsFitResult(spec, report, warnings)


def _few(prompts: int) -> FewPrompts:
    measured = [size for size in NOISE if size >= prompts] or list(NOISE)
    at = min(measured, key=lambda size: abs(size - prompts)) if measured else None
    return FewPrompts(prompts, MIN_PROMPTS, None if at is None else NOISE[at], at)


def _different_scales(sets: Sequence[Outcomes]) -> DifferentScales | None:
    """Said of several files when one's largest result is more than twice another's."""
    if len(sets) < 2:
        return None
    largest = [max((abs(r) for row in s.results or [] for r in row), default=0.0) for s in sets]
    if min(largest) > 0 and max(largest) > 2 * min(largest):
        return DifferentScales([(s.source, top) for s, top in zip(sets, largest)])
    return None


def _subset(data: ModelSet, name: str, rows: Any) -> ModelSet:
    if len(rows) == len(data):
        return data
    return ModelSet(name, data.models, [data.texts[i] for i in rows], [data.results[i] for i in rows],
                    [data.costs[i] for i in rows], data.cost_source, ())


def _prices(data: ModelSet, models: tuple[str, ...], costs: Any, tokens: Any, fold_of: Any, folds: int,
            predicted: Any, prices: Prices | None, keys: Mapping[str, str] | None, resamples: int,
            seed: int) -> tuple[PriceChoice, Any]:
    """The router's prices (fitted on all the prompts) and each prompt's cross-validated price."""
    if data.cost_source != "outcome costs":
        listed = pricing.listed(models, prices or Prices.catalogue(), keys)
        table = prices or Prices.catalogue()
        detail = (f"halvec {halvec.__version__}'s catalogue" if table.source is None
                  else os.path.basename(table.source) + (f" (as of {table.as_of})" if table.as_of else ""))
        return PriceChoice(data.cost_source, detail, listed, None, None), listed.of(tokens)
    numpy = library("numpy")
    by_fold: dict[str, Any] = {form: numpy.zeros(costs.shape) for form in ("mean", "by length")}
    for k in range(folds):
        train, test = fold_of != k, fold_of == k
        by_fold["mean"][test] = pricing.mean(costs[train]).of(tokens[test])
        by_fold["by length"][test] = pricing.by_length(costs[train], tokens[train]).of(tokens[test])
    compared = compare(data, [Predictions(form, models, predicted.tolist(), table.tolist())
                              for form, table in by_fold.items()], resamples=resamples, seed=seed)
    gain = compared[1].difference
    longer = gain.low is not None and gain.low > 0  # better beyond the paired interval: kept
    form = "by length" if longer else "mean"
    model = pricing.by_length(costs, tokens) if longer else pricing.mean(costs)
    files = sorted({os.path.basename(f.source) if f.source != "-" else "standard input" for f in data.files})
    detail = f"per-prompt costs of {', '.join(files)}"
    return PriceChoice("outcome costs", detail, model, {c.name: c.aiq for c in compared}, gain), by_fold[form]


def _place(data: ModelSet, predicted: Any, priced: Any, target: Target) -> Placed:
    """The trade-off for ``target`` on the cross-validated frontier of all the prompts."""
    f = frontier(predicted.tolist(), priced.tolist(), data.results, data.costs)
    if target.chosen_by == "tradeoff":
        return Placed(target.value, target, _point_at(f, target.value), True)
    n = len(data)
    means = [sum(row[m] for row in data.results) / n for m in range(len(data.models))]
    mean_costs = [sum(row[m] for row in data.costs) / n for m in range(len(data.models))]
    best = means[best_model(means, mean_costs)]
    if target.chosen_by == "target_share":
        placed = place_for_share(f, best, target.value)
        if placed is None:  # never reached: the highest point (place_for_share at its own result finds it)
            top = max(p.result for p in f.points)
            placed = place_for_share(f, top, 1.0)
    else:
        placed = place_for_budget(f, target.value)
        if placed is None:  # every point costs more: the cheapest
            placed = place_for_budget(f, min(p.cost for p in f.points))
    assert placed is not None
    reached = (placed.point.result >= target.value * best if target.chosen_by == "target_share"
               else placed.point.cost <= target.value)
    return Placed(placed.tradeoff, target, placed.point, reached)


def _point_at(f: Frontier, tradeoff: float) -> Point:
    """The frontier's point at ``tradeoff``: that of the last stretch starting at or below it."""
    k = max(i for i, start in enumerate(f.tradeoffs) if start <= tradeoff)
    return f.points[k]


def _estimates(measures: SetMeasures) -> dict[str, Any]:
    """The figures of all the prompts, for the file's ``fitted_on``: each {value, low, high}."""
    router, alone, oracle = measures.routers[0], measures.models_alone, measures.oracle
    operating = router.operating
    assert operating is not None

    def reach(r: Mapping[float, Estimate]) -> dict[str, EstimateJSON]:
        return {f"{share:g}": e.as_json() for share, e in r.items()}

    return {"aiq": router.hull.aiq.as_json(), "models_alone_aiq": alone.aiq.as_json(),
            "oracle_aiq": oracle.hull.aiq.as_json(), "cost_to_reach": reach(router.hull.reach),
            "models_alone_cost_to_reach": reach(alone.reach), "gap_recovered": router.gap_recovered.as_json(),
            "result": operating.result.as_json(), "cost": operating.cost.as_json(),
            "calls": {m: e.as_json() for m, e in operating.calls.items()}, "best_model": measures.best_model}


def _fitted_on(sets: Sequence[Outcomes], report: ModelsFitReport, field: str, repeated: int,
               least: int) -> dict[str, Any]:
    prices = report.prices
    return {
        "files": [{"name": "standard input" if s.source == "-" else os.path.basename(s.source), "prompts": len(s)}
                  for s in sets],
        "models": list(report.models), "field": field, "prompts": report.overall.prompts,
        "repeated_prompts": repeated, "least_prompts": least, "folds": report.folds, "seed": report.seed,
        "resamples": report.resamples,
        "prices": {key: value for key, value in prices.as_json().items() if key in ("form", "compared", "by_length_gain")},
        "placed": report.placed.as_json(),
        "cross_validated": _estimates(report.overall),
        "halvec": halvec.__version__,
        "libraries": library_versions(),
    }
