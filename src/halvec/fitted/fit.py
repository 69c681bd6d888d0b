"""Fitting a router to outcome data (needs the extra ``halvec[fit]``: numpy, scipy, scikit-learn).

The model is a ridge regression of the gain (strong result minus weak result) on the
description's n-grams, as sublinear tf-idf normalised to unit length, and on two counts
(:mod:`halvec.fitted.features`): linear, so that each n-gram's weight can be read in the
file, and a decision explained by the n-grams that made it. Its quality is measured by
K-fold cross-validation: every prompt is scored by a model fitted without its fold, and the
APGR of those scores is what the router can be expected to give on prompts like these.
Everything learnt from data (the n-grams kept, their idf, the counts' scaling) is learnt
inside each fold.

Settings that were tried and left out, on the public MMLU and GSM8K outcome sets: the
default rules' tier and pattern signals as features (they lowered cross-validated APGR);
character n-grams (no better than word n-grams, and many more features); a classification
of the gain's sign, or a regression on the weak model's failure alone (both ranked worse).
"""

from __future__ import annotations

import functools
import importlib
import math
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, replace
from typing import Any

from halvec.fitted import features
from halvec.fitted.coverage import summarize
from halvec.fitted.provenance import prompt_digest
from halvec.fitted.router import FittedRouter
from halvec.fitted.router_file import CountTerm, RouterSpec

__all__ = ["MIN_PROMPTS", "MissingExtra", "Settings", "cross_validate", "cuts_for", "distinct", "fit",
           "load_libraries", "spec_of", "with_provenance"]

MIN_PROMPTS = 500
"""Fewest prompts a router is fitted on. Below it the model has too little to learn from and its
cross-validated figures are mostly noise: on random draws from the public MMLU and GSM8K
outcome sets, the fitted router beat the word count in 7 of 12 draws of 300 prompts, 10 of 12
of 500 and 12 of 12 of 1,000."""


class MissingExtra(ImportError):
    """Fitting needs numpy, scipy and scikit-learn, which are not installed."""

    def __init__(self) -> None:
        super().__init__("fitting needs numpy, scipy and scikit-learn: pip install 'halvec[fit]'")


def _library(name: str) -> Any:
    """A module of the extra (imported by name: scikit-learn has no type information)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise MissingExtra() from None


def load_libraries() -> None:
    """Imports what fitting needs; :class:`MissingExtra` when it is not installed."""
    for name in ("numpy", "scipy", "sklearn"):
        _library(name)


@dataclass(frozen=True)
class Settings:
    """The model's settings; every one is recorded in the file's ``fitted_on``."""

    longest_ngram: int = 3
    max_ngrams: int = 20_000
    """The most n-grams kept: the most frequent of those in at least ``min_prompts`` prompts."""
    min_prompts: int = 2
    alpha: float = 10.0
    """The ridge penalty."""
    counts_weight: float = 0.3
    """The weight of the two scaled counts beside the unit-length n-gram vector."""


def pipeline(settings: Settings) -> Any:
    """The scikit-learn pipeline: texts in, scores out."""
    text, linear = _library("sklearn.feature_extraction.text"), _library("sklearn.linear_model")
    pipelines, preprocessing = _library("sklearn.pipeline"), _library("sklearn.preprocessing")
    ngrams = text.TfidfVectorizer(analyzer=functools.partial(features.ngrams, longest=settings.longest_ngram),
                             sublinear_tf=True, min_df=settings.min_prompts, max_features=settings.max_ngrams)
    counts = pipelines.Pipeline([("counts", preprocessing.FunctionTransformer(_count_matrix)),
                                 ("scale", preprocessing.StandardScaler())])
    union = pipelines.FeatureUnion([("ngrams", ngrams), ("counts", counts)],
                                   transformer_weights={"counts": settings.counts_weight})
    return pipelines.Pipeline([("features", union), ("ridge", linear.Ridge(alpha=settings.alpha))])


def _count_matrix(texts: Sequence[str]) -> Any:
    rows = [features.counts(text) for text in texts]
    return _library("numpy").array(rows, dtype=float).reshape(-1, len(features.COUNT_NAMES))


def _gains(strong: Sequence[float], weak: Sequence[float]) -> list[float]:
    return [s - w for s, w in zip(strong, weak)]


def cross_validate(texts: Sequence[str], strong: Sequence[float], weak: Sequence[float], *, folds: int, seed: int,
                   settings: Settings, progress: Callable[[int], None] | None = None) -> list[float]:
    """Each prompt's score by a model fitted on the other folds (shuffled with ``seed``).
    The copies of a text are kept in one fold: a copy in the training folds would score its
    twin as a prompt the model has seen. ``progress`` is called with the number of folds done."""
    numpy = _library("numpy")
    data = numpy.array(texts, dtype=object)
    gains = numpy.array(_gains(strong, weak), dtype=float)
    scores = numpy.zeros(len(texts))
    for done, (train, test) in enumerate(_folds(texts, folds, seed)):
        model = pipeline(settings).fit(list(data[train]), gains[train])
        scores[test] = model.predict(list(data[test]))
        if progress is not None:
            progress(done + 1)
    return [float(score) for score in scores]


def distinct(texts: Sequence[str]) -> int:
    """How many different texts ``texts`` holds: at most this many folds can be made."""
    return len(set(texts))


def _folds(texts: Sequence[str], folds: int, seed: int) -> Any:
    """(train, test) index arrays of each fold: the distinct texts, in the order they first
    appear, shuffled into folds by ``seed``, each prompt in its text's fold. Without repeats,
    the folds are scikit-learn's ``KFold`` of the prompts."""
    numpy = _library("numpy")
    first: dict[str, int] = {}
    group = numpy.array([first.setdefault(text, len(first)) for text in texts], dtype=numpy.intp)
    folding = _library("sklearn.model_selection").KFold(n_splits=folds, shuffle=True, random_state=seed)
    fold_of = numpy.empty(len(first), dtype=numpy.intp)
    for k, (_, test) in enumerate(folding.split(numpy.zeros(len(first)))):
        fold_of[test] = k
    of_prompt = fold_of[group]
    return [(numpy.flatnonzero(of_prompt != k), numpy.flatnonzero(of_prompt == k)) for k in range(folds)]


def fit(texts: Sequence[str], strong: Sequence[float], weak: Sequence[float], settings: Settings) -> Any:
    """The pipeline fitted on all the prompts."""
    return pipeline(settings).fit(list(texts), _gains(strong, weak))


def cuts_for(scores: Sequence[float], shares: tuple[float, float, float]) -> tuple[float, float]:
    """The cut points (moderate, complex) that give about ``shares`` (simple, moderate,
    complex) of ``scores``: each halfway between the scores on either side of its place. A
    share of 0 leaves its tier nearly empty (one prompt's score beyond the cut)."""
    ranked = sorted(scores)
    n = len(ranked)

    def cut(below: float) -> float:
        k = min(max(round(below * n), 1), n - 1)
        return (ranked[k - 1] + ranked[k]) / 2

    moderate = cut(shares[0])
    return moderate, max(moderate, cut(shares[0] + shares[1]))


def with_provenance(spec: RouterSpec, texts: Sequence[str]) -> RouterSpec:
    """``spec`` with what a router's checks read of the prompts it was fitted on in its
    ``fitted_on``: a digest of their texts (``prompt_digest``) and their coverage
    (:mod:`halvec.fitted.provenance`)."""
    _, coverage = FittedRouter(spec).score_and_coverage(texts)
    summary = summarize(coverage)
    return replace(spec, fitted_on={**spec.fitted_on, "prompt_digest": prompt_digest(texts),
                                    "coverage": summary.as_json() if summary is not None else None})


def spec_of(model: Any, settings: Settings, *, name: str, cuts: tuple[float, float],
            fitted_on: dict[str, Any]) -> RouterSpec:
    """The router file's content for a fitted pipeline."""
    union = model.named_steps["features"]
    vectorizer = dict(union.transformer_list)["ngrams"]
    scaler = dict(union.transformer_list)["counts"].named_steps["scale"]
    ridge = model.named_steps["ridge"]
    coef = [float(c) for c in ridge.coef_]
    vocabulary: dict[str, int] = vectorizer.vocabulary_
    size = len(vocabulary)
    texts = sorted(vocabulary, key=vocabulary.__getitem__)
    idf = [float(v) for v in vectorizer.idf_]
    counts = {name_: CountTerm(coef[size + i] * settings.counts_weight, float(scaler.mean_[i]),
                               float(scaler.scale_[i]))
              for i, name_ in enumerate(features.COUNT_NAMES)}
    spec = RouterSpec(name=name, longest_ngram=settings.longest_ngram, intercept=float(ridge.intercept_),
                      cuts=cuts, counts=counts, ngrams=texts, weights=coef[:size], idf=idf,
                      fitted_on={**fitted_on, "settings": asdict(settings)})
    if not all(math.isfinite(v) for v in (*spec.weights, spec.intercept)):
        raise ValueError("the fit gave weights that are not finite numbers")
    return spec
