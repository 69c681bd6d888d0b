"""Routers that choose among many priced models, measured on outcome files: what ``halvec bench
--models`` reports (:mod:`halvec.quality.models` does the measuring).

Two steps, as for two models (:mod:`halvec.quality.benchmark`), so that what the predictions
warn of is known before the slow part:

- :func:`score` asks each router for its predictions on each file's prompts (a fitted router's
  coverage and checks read with them) and says what they warn of (:data:`ModelBenchWarning`):
  results on different scales, prompts repeated across the files pooled, a fitted router
  measured on prompts it was fitted on or on prompts unlike them;
- :func:`measure` measures each file and the files pooled into a :class:`ModelBench`, whose
  JSON form (:class:`ModelBenchJSON`) is :meth:`halvec.quality.models.ModelBenchmark.as_json`'s
  with what the command adds (docs/quality.md lists every key).

:func:`prompt_records` gives each prompt's results, costs and every router's predictions and
choice: the lines of ``bench --models --out``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, TypedDict

from halvec.fitted.checks import Checks, FittedOn, Unlike
from halvec.fitted.provenance import Provenance
from halvec.quality.costs import PromptCosts
from halvec.quality.frontier import choose
from halvec.quality.models import (DEFAULT_TARGETS, ModelBenchmark, ModelSet, Predictions, Predictor, RowJSON,
                                   SetJSON, measure_predicted, pool, predict)
from halvec.quality.pooling import DifferentScales, RepeatedAcrossFiles, repeated_across

__all__ = ["BenchRowJSON", "BenchSetJSON", "FileJSON", "ModelBench", "ModelBenchJSON", "ModelBenchWarning",
           "ModelScoring", "PromptJSON", "RouterScores", "different_scales", "measure", "prompt_records", "score"]

ModelBenchWarning = DifferentScales | RepeatedAcrossFiles | FittedOn | Unlike
"""What a many-model benchmark's predictions warn of, in the order :func:`score` finds it."""


@dataclass(frozen=True)
class RouterScores:
    """A router's predictions on a file, and a fitted router's coverage and checks there."""

    predictions: Predictions
    coverage: list[float | None] | None
    checks: Checks | None


@dataclass(frozen=True)
class ModelScoring:
    """Outcome files with every router's predictions on them."""

    files: list[ModelSet]
    costs: list[PromptCosts]
    """How each file was costed."""
    scored: list[list[RouterScores]]
    """For each file, each router's, in the order the routers were given."""
    pooled_checks: list[Checks | None]
    """Each router's checks on the files pooled (None for one file, or a router that is not fitted)."""
    warnings: list[ModelBenchWarning]

    @property
    def routers(self) -> list[str]:
        return [r.predictions.name for r in self.scored[0]]


def different_scales(files: Sequence[ModelSet]) -> DifferentScales | None:
    """Said of several files when one's largest result (of any model) is more than twice another's."""
    if len(files) < 2:
        return None
    largest = [max(abs(v) for row in f.results for v in row) for f in files]
    if min(largest) > 0 and max(largest) > 2 * min(largest):
        return DifferentScales([(f.name, top) for f, top in zip(files, largest)])
    return None


def score(files: Sequence[ModelSet], costs: Sequence[PromptCosts],
          routers: Sequence[tuple[str, Predictor, float | None]]) -> ModelScoring:
    """Each file's prompts predicted by each router (a name, the router and the λ of its
    operating point, or None). ValueError, before any prediction, for files that cannot be
    pooled or a router that chooses among models the files lack."""
    if len(files) > 1:
        pool(files)  # files that cannot be pooled are refused before any work
    for name, router, _ in routers:
        missing = [m for m in router.models if m not in files[0].models]
        if missing:
            raise ValueError(f"the router {name!r} chooses among {', '.join(map(repr, missing))}, which the models "
                             f"measured lack (they are {', '.join(map(repr, files[0].models))})")
    scored = [[_scored(name, router, tradeoff, f.texts) for name, router, tradeoff in routers] for f in files]
    warnings: list[ModelBenchWarning] = [w for w in (different_scales(files),
                                                     repeated_across([o for f in files for o in f.files]))
                                         if w is not None]
    for f, per_router in zip(files, scored):
        for item in per_router:
            if item.checks is not None:
                warnings += item.checks.warnings(f.name)
    pooled: list[Checks | None] = []
    for r in range(len(routers)):
        items = [per_router[r] for per_router in scored]
        checks = [c for item in items if (c := item.checks) is not None]
        pooled.append(None if len(files) < 2 or len(checks) < len(items) else
                      Checks.pooled(checks, [v for item in items for v in item.coverage or ()], None))
    return ModelScoring(list(files), list(costs), scored, pooled, warnings)


def _scored(name: str, router: Predictor, tradeoff: float | None, texts: list[str]) -> RouterScores:
    predictions = predict(name, router, texts, tradeoff)
    provenance = getattr(router, "provenance", None)
    if not isinstance(provenance, Provenance):
        return RouterScores(predictions, None, None)
    coverage: list[float | None] = router.coverage(texts)  # type: ignore[attr-defined]
    return RouterScores(predictions, coverage, Checks.of(name, provenance, texts, coverage, None))


# --- the measures ----------------------------------------------------------------------------

class BenchRowJSON(RowJSON):
    """A row of ``bench --models --json``: the library's, and a fitted router's checks (null
    for other rows and routers, and where its file does not say)."""

    fitted_on_share: float | None
    """The share of the set's prompts it was fitted on."""
    coverage: float | None
    """The set's mean coverage by its n-grams."""
    fitted_coverage: float | None
    """Its fitting data's, from its file."""


class BenchSetJSON(TypedDict):
    """A set of ``bench --models --json``: the library's (:class:`~halvec.quality.models.SetJSON`),
    each router's row with its checks."""

    name: str
    prompts: int
    pooled: bool
    models: list[str]
    cost_source: str
    best_model: str
    rows: list[BenchRowJSON]


class FileJSON(TypedDict):
    source: str
    format: str
    prompts: int
    cost_source: str
    prices: str | None
    """The prices file as named, with its as-of date where it gives one; null for the files'
    own costs and the catalogue's."""
    estimated_tokens: bool
    """Whether the costs rest on token counts estimated from the prompts."""


class ModelBenchJSON(TypedDict):
    """``halvec bench --models --json``: the library's document
    (:class:`~halvec.quality.models.ModelBenchmarkJSON`) with the field read, more of each file
    and the routers' checks."""

    models: list[str]
    routers: list[str]
    field: str
    resamples: int
    seed: int
    level: float
    targets: list[float]
    files: list[FileJSON]
    sets: list[BenchSetJSON]


@dataclass(frozen=True)
class ModelBench:
    """Every set's measures (each file's, then the files pooled) with the routers' checks."""

    benchmark: ModelBenchmark
    scoring: ModelScoring
    field: str
    """The JSONL field or CSV column the prompts were read from."""

    def checks(self, index: int) -> list[Checks | None]:
        """Each router's checks on set ``index`` (a file's, or the last, the files pooled)."""
        scoring = self.scoring
        if index < len(scoring.files):
            return [item.checks for item in scoring.scored[index]]
        return scoring.pooled_checks

    def as_json(self) -> ModelBenchJSON:
        plain = self.benchmark.as_json()
        files: list[FileJSON] = [{"source": f.name, "format": f.files[0].format, "prompts": len(f),
                                  "cost_source": f.cost_source, "prices": c.detail, "estimated_tokens": c.estimated}
                                 for f, c in zip(self.scoring.files, self.scoring.costs)]
        return {"models": plain["models"], "routers": plain["routers"], "field": self.field,
                "resamples": plain["resamples"], "seed": plain["seed"], "level": plain["level"],
                "targets": plain["targets"], "files": files,
                "sets": [_set_json(s, self.checks(index)) for index, s in enumerate(plain["sets"])]}


def _set_json(s: SetJSON, checks: list[Checks | None]) -> BenchSetJSON:
    """The set's rows, each router's (the first, in order) with its checks."""
    rows = [_with_checks(row, checks[k] if k < len(checks) and row["kind"] == "router" else None)
            for k, row in enumerate(s["rows"])]
    return {"name": s["name"], "prompts": s["prompts"], "pooled": s["pooled"], "models": s["models"],
            "cost_source": s["cost_source"], "best_model": s["best_model"], "rows": rows}


def _with_checks(row: RowJSON, checks: Checks | None) -> BenchRowJSON:
    fitted = None if checks is None else checks.provenance.coverage
    return {**row, "fitted_on_share": None if checks is None else checks.fitted_share,
            "coverage": None if checks is None or checks.coverage is None else checks.coverage.mean,
            "fitted_coverage": None if fitted is None else fitted.mean}


def measure(scoring: ModelScoring, *, resamples: int = 1000, seed: int = 0, level: float = 0.95,
            targets: Sequence[float] = DEFAULT_TARGETS, field: str = "prompt",
            progress: Callable[[int, int], None] | None = None) -> ModelBench:
    """Every set measured (:func:`halvec.quality.models.measure_predicted`); ``progress`` is
    told the resamples drawn so far and in all; ``field`` is recorded as the one the prompts
    were read from."""
    predicted = [[item.predictions for item in per_router] for per_router in scoring.scored]
    benchmark = measure_predicted(scoring.files, predicted, resamples=resamples, seed=seed, level=level,
                                  targets=targets, progress=progress)
    return ModelBench(benchmark, scoring, field)


# --- per prompt ------------------------------------------------------------------------------

class PromptJSON(TypedDict):
    """A line of ``bench --models --out``: a prompt's results and costs with every model, and
    each router's predictions, the model it chooses at its own trade-off (None without one) and
    its coverage (a fitted router's; else None)."""

    source: str
    line: int
    id: Any
    category: Any
    results: dict[str, float]
    costs: dict[str, float]
    routers: dict[str, dict[str, Any]]


def prompt_records(scoring: ModelScoring) -> Iterator[PromptJSON]:
    """Each prompt of each file, in order."""
    for f, per_router in zip(scoring.files, scoring.scored):
        outcomes = f.files[0]
        models = f.models
        for i in range(len(f)):
            routers = {}
            for item in per_router:
                p = item.predictions
                quality, price = p.qualities[i], p.prices[i]
                chosen = None if p.tradeoff is None else p.models[choose(quality, price, p.tradeoff)]
                routers[p.name] = {"qualities": dict(zip(p.models, quality)), "prices": dict(zip(p.models, price)),
                                   "model": chosen, "coverage": None if item.coverage is None else item.coverage[i]}
            yield {"source": f.name, "line": outcomes.lines[i], "id": outcomes.ids[i],
                   "category": outcomes.categories[i], "results": dict(zip(models, f.results[i])),
                   "costs": dict(zip(models, f.costs[i])), "routers": routers}
