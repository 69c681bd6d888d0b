"""Routers measured on outcome files: what ``halvec bench`` reports.

Two steps, so that what the scores warn of is known before the slow part:

- :func:`score` scores each file's prompts with every router (a fitted router's coverage and
  checks read with its scores), adds the files pooled where there are several, and says what
  the scores warn of (:data:`BenchWarning`);
- :func:`measure_sets` measures every set (:func:`halvec.quality.report.measure`: APGR with its
  bootstrap interval, CPT, the operating point and cost) into a :class:`Benchmark`, whose JSON
  form (:class:`BenchJSON`, ``bench --json``) has the keys docs/quality.md lists.

:func:`prompt_records` gives each prompt's results and scores, the lines of ``bench --out``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, TypedDict

from halvec.fitted.checks import Checks, FittedOn, Unlike
from halvec.fitted.provenance import Provenance
from halvec.quality.outcomes import Outcomes
from halvec.quality.pooling import (DifferentScales, RepeatedAcrossFiles, ScoredSet, different_scales,
                                    repeated_across, with_pooled)
from halvec.quality.report import Scored, SetJSON, SetReport, measure, strong_share
from halvec.quality.routers import Router, strong_mask

__all__ = ["BenchJSON", "BenchWarning", "Benchmark", "FileJSON", "PromptJSON", "Scoring", "measure_sets",
           "prompt_records", "score"]

BenchWarning = DifferentScales | RepeatedAcrossFiles | FittedOn | Unlike
"""What a benchmark's scores warn of, in the order :func:`score` finds it."""


@dataclass(frozen=True)
class Scoring:
    """Outcome files scored: a set for each file, then (with several) the files pooled."""

    sets: list[ScoredSet]
    warnings: list[BenchWarning]
    routers: list[str]
    """The routers' names, in order."""

    @property
    def files(self) -> list[Outcomes]:
        return [outcomes for s in self.sets if not s.pooled for outcomes in s.files]


def score(files: Sequence[Outcomes], routers: Sequence[tuple[str, Router]]) -> Scoring:
    """Each file's prompts scored by each router (named as given)."""
    sets = [ScoredSet.of_file(outcomes, [_scored(name, router, outcomes.texts) for name, router in routers])
            for outcomes in files]
    warnings: list[BenchWarning] = [w for w in (different_scales(files), repeated_across(files)) if w is not None]
    for s in sets:
        for item in s.scored:
            if item.checks is not None:
                warnings += item.checks.warnings(s.name)
    return Scoring(with_pooled(sets), warnings, [name for name, _ in routers])


def _scored(name: str, router: Router, texts: list[str]) -> Scored:
    provenance = getattr(router, "provenance", None)
    coverage: list[float | None] | None = None
    if isinstance(provenance, Provenance):  # a fitted router: its coverage read with its scores
        raw, coverage = router.score_and_coverage(texts)  # type: ignore[attr-defined]
    else:
        raw = router.score(texts)
    scores = [float(score) for score in raw]
    mask = strong_mask(router, scores)
    checks = None if coverage is None or not isinstance(provenance, Provenance) else \
        Checks.of(name, provenance, texts, coverage, strong_share(mask))
    return Scored(name, scores, mask, coverage, checks)


class FileJSON(TypedDict):
    source: str
    format: str
    prompts: int
    costs: bool


class BenchJSON(TypedDict):
    """``halvec bench --json``."""

    strong: str
    weak: str
    field: str
    routers: list[str]
    resamples: int
    seed: int
    level: float
    files: list[FileJSON]
    sets: list[SetJSON]


@dataclass(frozen=True)
class Benchmark:
    """Every set's measures (each file's, then the files pooled), with how they were made."""

    reports: list[SetReport]
    files: list[Outcomes]
    routers: list[str]
    field: str
    """The JSONL field or CSV column the prompts were read from."""
    resamples: int
    seed: int
    level: float

    @property
    def strong(self) -> str:
        return self.files[0].strong_model

    @property
    def weak(self) -> str:
        return self.files[0].weak_model

    def as_json(self) -> BenchJSON:
        return {"strong": self.strong, "weak": self.weak, "field": self.field, "routers": self.routers,
                "resamples": self.resamples, "seed": self.seed, "level": self.level,
                "files": [{"source": o.source, "format": o.format, "prompts": len(o),
                           "costs": o.strong_costs is not None} for o in self.files],
                "sets": [report.as_json(self.strong, self.weak) for report in self.reports]}


def measure_sets(scoring: Scoring, *, prices: tuple[float, float] | None = None, resamples: int = 1000,
                 seed: int = 0, level: float = 0.95, field: str = "prompt",
                 progress: Callable[[int, int], None] | None = None) -> Benchmark:
    """Every set measured, costed at ``prices`` per call (strong, weak) where given, else at
    the files' per-prompt costs where every file gives them, else by the share of strong calls.
    ``progress`` is told the resamples drawn so far and in all (the slow part); ``field`` is
    recorded as the one the prompts were read from."""
    sets = scoring.sets
    total = len(sets) * (len(scoring.routers) + 1) * resamples  # the routers and the oracle are resampled
    done: dict[tuple[int, str], int] = {}  # by set and row
    reports = []
    for index, s in enumerate(sets):
        def told(row: str, resampled: int, index: int = index) -> None:
            done[index, row] = resampled
            if progress is not None:
                progress(sum(done.values()), total)

        reports.append(measure(s.name, s.scored, s.strong, s.weak, s.costs(prices), resamples=resamples, seed=seed,
                               level=level, pooled=s.pooled, progress=told))
    return Benchmark(reports, scoring.files, scoring.routers, field, resamples, seed, level)


class PromptJSON(TypedDict):
    """A line of ``bench --out``: a prompt's results, and each router's score, the model its
    operating point sends it to (None without one) and its coverage (a fitted router's)."""

    source: str
    line: int
    id: Any
    category: Any
    strong: float
    weak: float
    routers: dict[str, dict[str, Any]]


def prompt_records(s: ScoredSet) -> Iterator[PromptJSON]:
    """Each prompt of the set, in order."""
    at = 0
    for o in s.files:
        for i in range(len(o)):
            routers = {item.name: {"score": item.scores[at + i],
                                   "model": None if item.mask is None else
                                   o.strong_model if item.mask[at + i] else o.weak_model,
                                   "coverage": None if item.coverage is None else item.coverage[at + i]}
                       for item in s.scored}
            yield {"source": o.source, "line": o.lines[i], "id": o.ids[i], "category": o.categories[i],
                   "strong": o.strong[i], "weak": o.weak[i], "routers": routers}
        at += len(o)
