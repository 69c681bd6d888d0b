"""A router fitted to outcome files, as ``halvec fit`` fits one (needs the extra ``halvec[fit]``).

:func:`fit_router` takes outcome sets (prompts with a strong and a weak model's results) and:

1. **measures before it fits**: every prompt is scored by a model fitted on the other folds
   (:func:`halvec.fitted.fit.cross_validate`, a text's copies kept in one fold), and the APGR
   of those scores is reported for each file and for the files pooled, beside the default
   rules and a word count on the same prompts (:class:`FitReport`);
2. **fits the model on all the prompts**;
3. **places the cut points** where the cross-validated scores (how prompts the model has not
   seen score, as new ones will) give the asked shares of the tiers (:class:`Shares`; by
   default the shares the default rules give the same prompts);
4. **records what it was fitted on** in the router's ``fitted_on``: the files and their
   figures, the settings, the shares, the versions, a digest of the prompts and their
   coverage (:func:`halvec.fitted.fit.with_provenance`).

What the data warns of is data too (:data:`FitWarning`); prompts a router cannot be fitted
on raise :class:`~halvec.fitted.fit.FitProblem` (:class:`TooFewPrompts`,
:class:`TooFewTexts`, or nothing to learn from).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, replace
from functools import cached_property
from typing import Any, Literal, TypedDict

import halvec
from halvec.reading import ROUTER_FILE
from halvec.fitted.fit import (MIN_PROMPTS, FitProblem, Settings, cross_validate, cuts_for, distinct, fit,
                               library_versions, read, spec_of, with_provenance)
from halvec.fitted.router import FittedRouter
from halvec.fitted.router_file import RouterSpec, dumps
from halvec.quality.metrics import apgr, gap_sign
from halvec.quality.outcomes import Outcomes
from halvec.quality.pooling import DifferentScales, ScoredSet, different_scales, with_pooled
from halvec.quality.report import Scored
from halvec.quality.routers import RulesRouter, WordsRouter

__all__ = ["CrossValidated", "CrossValidatedJSON", "DigestLeftOut", "FitReport", "FitResult", "FitWarning", "RepeatedPrompts", "Shares",
           "TooFewPrompts", "TooFewTexts", "fit_router"]


class TooFewPrompts(FitProblem):
    """Fewer prompts than the floor: :data:`~halvec.fitted.fit.MIN_PROMPTS`, or one set lower."""

    def __init__(self, prompts: int, least: int = MIN_PROMPTS) -> None:
        self.prompts: int = prompts
        self.least: int = least
        super().__init__(f"{prompts:,} prompts are too few to fit a router on: it needs at least {least:,} "
                         f"(with fewer, the model has too little to learn from and its measured quality is mostly "
                         f"noise)")


class TooFewTexts(FitProblem):
    """Fewer different texts than folds: a text's copies stay in one fold."""

    def __init__(self, prompts: int, distinct: int, folds: int) -> None:
        self.prompts: int = prompts
        self.distinct: int = distinct
        self.folds: int = folds
        super().__init__(f"the {prompts:,} prompts hold {distinct:,} different text{'s' if distinct != 1 else ''}: "
                         f"too few for {folds} folds (a prompt's copies stay in one fold)")


@dataclass(frozen=True)
class RepeatedPrompts:
    """Prompts that repeat an earlier prompt's text exactly (a file given twice, or repeats
    within a file): each text's copies are kept in one fold, so that no copy is scored by a
    model fitted on its twin."""

    repeated: int
    prompts: int


@dataclass(frozen=True)
class DigestLeftOut:
    """The digest of the prompts is left out of the router's ``fitted_on``: with it the file
    would pass the most a router file may have (millions of prompts), so bench cannot tell
    whether the router is measured on the prompts it was fitted on."""

    distinct: int
    """The different prompts the digest would have held."""


FitWarning = RepeatedPrompts | DifferentScales | DigestLeftOut
"""What the data a router is fitted on warns of."""


@dataclass(frozen=True)
class Shares:
    """The shares of the prompts the cut points are placed for, simple, moderate and complex
    (they add up to 1), and where they came from (recorded in the router's ``fitted_on``)."""

    simple: float
    moderate: float
    complex: float
    source: str

    @classmethod
    def of_rules(cls, texts: Sequence[str]) -> Shares:
        """The shares the default rules give ``texts``."""
        tiers = RulesRouter().score(list(texts))
        n = len(tiers)
        return cls(tiers.count(0.0) / n, tiers.count(1.0) / n, tiers.count(2.0) / n, "the default rules' tiers")

    @property
    def as_tuple(self) -> tuple[float, float, float]:
        return self.simple, self.moderate, self.complex


class CrossValidatedJSON(TypedDict):
    """A file's figures in a router's ``fitted_on``."""

    prompts: int
    cv_apgr: float
    rules_apgr: float
    words_apgr: float


@dataclass(frozen=True)
class CrossValidated:
    """The cross-validated APGR of a file (or of the files pooled), beside the default rules'
    and a word count's on the same prompts."""

    name: str
    """The file as it was named, or ``pooled (N files)``."""
    pooled: bool
    prompts: int
    fitted: float
    rules: float
    words: float

    @property
    def judged(self) -> bool:
        """Whether the file is large enough for its own figures to say something."""
        return self.prompts >= MIN_PROMPTS

    @property
    def beaten_by(self) -> Literal["rules", "words"] | None:
        """The router the fitted one does not beat, on a file large enough to say so."""
        if not self.judged or self.fitted > max(self.rules, self.words):
            return None
        return "rules" if self.rules >= self.words else "words"

    def as_json(self) -> CrossValidatedJSON:
        return {"prompts": self.prompts, "cv_apgr": self.fitted, "rules_apgr": self.rules, "words_apgr": self.words}


@dataclass(frozen=True)
class FitReport:
    """The cross-validated figures: each file's, then the files pooled."""

    folds: int
    seed: int
    files: list[CrossValidated | None]
    """Each file's figures; None for a file with no gap between the models."""
    pooled: CrossValidated | None
    """The files pooled; None for one file, or files whose gaps cancel out."""
    scores: list[float] = field(repr=False)
    """Each prompt's cross-validated score, the files end to end."""

    @property
    def rows(self) -> list[CrossValidated]:
        """The figures there are, in order."""
        return [row for row in (*self.files, self.pooled) if row is not None]

    @property
    def overall(self) -> CrossValidated | None:
        """The figures of all the prompts: the files pooled, or the one file."""
        return self.pooled if len(self.files) > 1 else self.files[0]


@dataclass(frozen=True)
class FitResult:
    """A fitted router's file content, with how it measured and where its cut points are."""

    spec: RouterSpec
    report: FitReport
    shares: Shares
    warnings: list[FitWarning]

    @cached_property
    def router(self) -> FittedRouter:
        return FittedRouter(self.spec)


def fit_router(sets: Sequence[Outcomes], *, name: str = "fitted", folds: int = 10, seed: int = 0,
               shares: Shares | None = None, field: str = "prompt", settings: Settings = Settings(),
               progress: Callable[[int, int], None] | None = None,
               warn: Callable[[FitWarning], None] | None = None) -> FitResult:
    """A router fitted on the prompts of ``sets`` (pooled), ``folds`` folds shuffled by
    ``seed``, its cut points placed for ``shares``; ``field`` is recorded as the field the
    prompts were read from. ``progress`` is told the fits done and the fits in all;
    ``warn`` each warning as it is found (the repeats before any fit). :class:`FitProblem`
    for prompts a router cannot be fitted on."""
    if folds < 2:
        raise ValueError(f"folds: at least 2, not {folds}")
    texts = [text for s in sets for text in s.texts]
    strong = [r for s in sets for r in s.strong]
    weak = [r for s in sets for r in s.weak]
    warnings: list[FitWarning] = []

    def said(warning: FitWarning | None) -> None:
        if warning is not None:
            warnings.append(warning)
            if warn is not None:
                warn(warning)

    if len(texts) < MIN_PROMPTS:
        raise TooFewPrompts(len(texts))
    different = distinct(texts)
    if folds > different:
        raise TooFewTexts(len(texts), different, folds)
    said(RepeatedPrompts(len(texts) - different, len(texts)) if different < len(texts) else None)
    told = None if progress is None else _fits_told(progress, folds + 1)
    prompts = read(texts, settings)
    scores = cross_validate(prompts, strong, weak, folds=folds, seed=seed, settings=settings, progress=told)
    model = fit(prompts, strong, weak, settings)
    report = _report(sets, scores, folds, seed)
    said(different_scales(sets))
    chosen = shares or Shares.of_rules(texts)
    fitted_on = _fitted_on(sets, report, chosen, field, len(texts) - different)
    spec = with_provenance(spec_of(model, settings, name=name, cuts=cuts_for(scores, chosen.as_tuple),
                                   fitted_on=fitted_on), texts)
    if spec.fitted_on.get("prompt_digest") is not None and len(dumps(spec).encode("utf-8")) > ROUTER_FILE.bytes:
        spec = replace(spec, fitted_on={**spec.fitted_on, "prompt_digest": None})
        said(DigestLeftOut(different))
    return FitResult(spec, report, chosen, warnings)


def _fits_told(progress: Callable[[int, int], None], fits: int) -> Callable[[int], None]:
    """Folds done told as fits done of ``fits``: the folds, then all the prompts."""
    return lambda done: progress(done, fits)


def _report(sets: Sequence[Outcomes], scores: list[float], folds: int, seed: int) -> FitReport:
    rules, words = RulesRouter(), WordsRouter()
    files = []
    at = 0
    for outcomes in sets:
        fitted = scores[at:at + len(outcomes.texts)]
        at += len(outcomes.texts)
        files.append(ScoredSet.of_file(outcomes, [Scored("fitted", fitted, None),
                                                  Scored("rules", rules.score(outcomes.texts), None),
                                                  Scored("words", words.score(outcomes.texts), None)]))
    rows = [_measured(s) for s in with_pooled(files)]
    return FitReport(folds, seed, rows[:len(files)], rows[len(files)] if len(rows) > len(files) else None, scores)


def _measured(s: ScoredSet) -> CrossValidated | None:
    if gap_sign(s.strong, s.weak) == 0:  # a pooled set whose files' gaps cancel out
        return None
    fitted, rules, words = (apgr(item.scores, s.strong, s.weak) for item in s.scored)
    return CrossValidated(s.name, s.pooled, len(s.texts), fitted, rules, words)


def _fitted_on(sets: Sequence[Outcomes], report: FitReport, shares: Shares, field: str,
               repeated: int) -> dict[str, Any]:
    overall = report.overall
    return {
        "files": [{"name": "standard input" if s.source == "-" else os.path.basename(s.source),
                   **(row.as_json() if row is not None else {"prompts": len(s.texts)})}
                  for s, row in zip(sets, report.files)],
        "strong": sets[0].strong_model, "weak": sets[0].weak_model, "field": field,
        "prompts": sum(len(s.texts) for s in sets), "repeated_prompts": repeated, "folds": report.folds,
        "seed": report.seed,
        "cv_apgr": overall.fitted if overall else None,
        "rules_apgr": overall.rules if overall else None, "words_apgr": overall.words if overall else None,
        "shares": {"simple": shares.simple, "moderate": shares.moderate, "complex": shares.complex,
                   "from": shares.source},
        "halvec": halvec.__version__,
        "libraries": library_versions(),
    }
