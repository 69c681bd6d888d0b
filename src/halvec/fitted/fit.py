"""The model a router is fitted as (needs the extra ``halvec[fit]``: numpy, scipy, scikit-learn);
:mod:`halvec.fitted.fitting` fits a router to outcome files with it.

The model is a ridge regression of the gain (strong result minus weak result) on the
description's n-grams, as sublinear tf-idf normalised to unit length, and on two counts
(:mod:`halvec.fitted.features`): linear, so that each n-gram's weight can be read in the
file, and a decision explained by the n-grams that made it. Its quality is measured by
K-fold cross-validation: every prompt is scored by a model fitted without its fold, and the
APGR of those scores is what the router can be expected to give on prompts like these.
Everything learnt from data (the n-grams kept, their idf, the counts' scaling) is learnt
inside each fold. The prompts are read once (:mod:`halvec.fitted.corpus`), and each fit takes
its rows of what was read.

Settings that were tried and left out, on the public MMLU and GSM8K outcome sets: the
default rules' tier and pattern signals as features (they lowered cross-validated APGR);
character n-grams (no better than word n-grams, and many more features); a classification
of the gain's sign, or a regression on the weak model's failure alone (both ranked worse).
"""

from __future__ import annotations

import functools
import importlib
import importlib.metadata
import math
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, replace
from typing import Any, TypeVar

from halvec.fitted import corpus, features
from halvec.fitted.coverage import summarize
from halvec.fitted.provenance import prompt_digest
from halvec.fitted.router import FittedRouter
from halvec.fitted.models_file import ModelsSpec
from halvec.fitted.router_file import CountTerm, RouterFileError, RouterSpec
from halvec.quality.metrics import scaled_gains

__all__ = ["MIN_PROMPTS", "FitProblem", "MissingExtra", "Model", "Settings", "cross_validate", "cuts_for", "distinct",
           "fit", "fold_rows", "library", "library_versions", "load_libraries", "pipeline", "read", "spec_of",
           "with_provenance"]

SpecT = TypeVar("SpecT", RouterSpec, ModelsSpec)

MIN_PROMPTS = 500
"""Fewest prompts a router is fitted on. Below it the model has too little to learn from and its
cross-validated figures are mostly noise: on random draws from the public MMLU and GSM8K
outcome sets, the fitted router beat the word count in 7 of 12 draws of 300 prompts, 10 of 12
of 500 and 12 of 12 of 1,000."""


class MissingExtra(ImportError):
    """Fitting needs numpy, scipy and scikit-learn, which are not installed."""

    def __init__(self) -> None:
        super().__init__("fitting needs numpy, scipy and scikit-learn: pip install 'halvec[fit]'")


def library(name: str) -> Any:
    """A module of the extra (imported by name: scikit-learn has no type information)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise MissingExtra() from None


def library_versions() -> dict[str, str | None]:
    """The versions of the extra's libraries (None for one not installed), for a file's ``fitted_on``."""
    versions: dict[str, str | None] = {}
    for package in ("scikit-learn", "numpy", "scipy"):
        try:
            versions[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            versions[package] = None
    return versions


def load_libraries() -> None:
    """Imports what fitting needs; :class:`MissingExtra` when it is not installed."""
    for name in ("numpy", "scipy", "sklearn"):
        library(name)


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
    """The model as one scikit-learn pipeline, texts in, scores out: what :func:`fit` fits,
    with each prompt read at each fit (the reference the tests compare :func:`fit` with)."""
    text, linear = library("sklearn.feature_extraction.text"), library("sklearn.linear_model")
    pipelines, preprocessing = library("sklearn.pipeline"), library("sklearn.preprocessing")
    ngrams = text.TfidfVectorizer(analyzer=functools.partial(features.ngrams, longest=settings.longest_ngram),
                             sublinear_tf=True, min_df=settings.min_prompts, max_features=settings.max_ngrams)
    counts = pipelines.Pipeline([("counts", preprocessing.FunctionTransformer(_count_matrix)),
                                 ("scale", preprocessing.StandardScaler())])
    union = pipelines.FeatureUnion([("ngrams", ngrams), ("counts", counts)],
                                   transformer_weights={"counts": settings.counts_weight})
    return pipelines.Pipeline([("features", union), ("ridge", linear.Ridge(alpha=settings.alpha))])


def _count_matrix(texts: Sequence[str]) -> Any:
    rows = [features.counts(text) for text in texts]
    return library("numpy").array(rows, dtype=float).reshape(-1, len(features.COUNT_NAMES))


class FitProblem(ValueError):
    """Prompts a model cannot be fitted on; the text says why."""


@dataclass(frozen=True)
class Model:
    """A fitted model: what :func:`pipeline` would be, fitted on the same prompts (the
    n-grams kept, their idf, the counts' scaling, the ridge regression)."""

    settings: Settings
    ngrams: list[str]
    """The n-grams kept, in the order of the regression's first coefficients."""
    tfidf: Any
    """scikit-learn's TfidfTransformer, fitted on the kept n-grams' counts."""
    scale: Any
    """scikit-learn's StandardScaler, fitted on the counts."""
    ridge: Any

    def design(self, counts: Any, sizes: Any) -> Any:
        """The regression's input for prompts' n-gram counts (of the kept n-grams) and counts."""
        weighted = self.scale.transform(sizes) * self.settings.counts_weight
        return library("scipy.sparse").hstack([self.tfidf.transform(counts), weighted]).tocsr()

    def predict(self, texts: Sequence[str]) -> Any:
        """The scores of new texts, read afresh."""
        columns = {gram: i for i, gram in enumerate(self.ngrams)}
        counts = corpus.counts_of(list(texts), columns, self.settings.longest_ngram)
        return self.ridge.predict(self.design(counts, _count_matrix(list(texts))))


def read(texts: Sequence[str] | corpus.Corpus, settings: Settings) -> corpus.Corpus:
    """The prompts read once, for :func:`cross_validate` and :func:`fit` to share."""
    if isinstance(texts, corpus.Corpus):
        return texts
    return corpus.read(texts, longest=settings.longest_ngram, min_prompts=settings.min_prompts)


def _fit_rows(prompts: corpus.Corpus, rows: Any, gains: Any, settings: Settings) -> tuple[Model, Any]:
    """The model fitted on ``rows`` of the prompts, and the columns it keeps."""
    text, linear = library("sklearn.feature_extraction.text"), library("sklearn.linear_model")
    preprocessing = library("sklearn.preprocessing")
    columns = prompts.columns(rows, min_prompts=settings.min_prompts, most=settings.max_ngrams)
    if len(columns) == 0:
        which = "the prompts" if len(rows) == len(prompts) else "the prompts of a fit of the cross-validation"
        raise FitProblem(f"no word or word sequence is in {settings.min_prompts} or more of {which}: there is "
                         f"nothing to learn from (blank prompts, or prompts that share no word)")
    counts = prompts.counts[rows][:, columns]
    model = Model(settings, [prompts.ngrams[c] for c in columns], text.TfidfTransformer(sublinear_tf=True).fit(counts),
                  preprocessing.StandardScaler().fit(prompts.sizes[rows]), linear.Ridge(alpha=settings.alpha))
    model.ridge.fit(model.design(counts, prompts.sizes[rows]), gains[rows])
    return model, columns


def _gains(strong: Sequence[float], weak: Sequence[float]) -> Any:
    """The gains the model learns, scaled by a power of two where results are so large that
    their differences would not be finite (the ranking, all that is measured, is the same)."""
    return library("numpy").array(scaled_gains(strong, weak)[0], dtype=float)


def cross_validate(texts: Sequence[str] | corpus.Corpus, strong: Sequence[float], weak: Sequence[float], *,
                   folds: int, seed: int, settings: Settings,
                   progress: Callable[[int], None] | None = None) -> list[float]:
    """Each prompt's score by a model fitted on the other folds (shuffled with ``seed``).
    The copies of a text are kept in one fold: a copy in the training folds would score its
    twin as a prompt the model has seen. ``progress`` is called with the number of folds done.
    :class:`FitProblem` when a fold has nothing to learn from."""
    numpy = library("numpy")
    prompts = read(texts, settings)
    gains = _gains(strong, weak)
    scores = numpy.zeros(len(prompts))
    for done, (train, test) in enumerate(fold_rows(prompts.groups, folds, seed)):
        model, columns = _fit_rows(prompts, train, gains, settings)
        scores[test] = model.ridge.predict(model.design(prompts.counts[test][:, columns], prompts.sizes[test]))
        if progress is not None:
            progress(done + 1)
    return [float(score) for score in scores]


def distinct(texts: Sequence[str]) -> int:
    """How many different texts ``texts`` holds: at most this many folds can be made."""
    return len(set(texts))


def fold_rows(groups: Any, folds: int, seed: int) -> Any:
    """(train, test) index arrays of each fold: the different texts (``groups``: each
    prompt's text's place, in the order they first appear) shuffled into folds by ``seed``,
    each prompt in its text's fold. Without repeats, the folds are scikit-learn's ``KFold``
    of the prompts."""
    numpy = library("numpy")
    different = int(groups.max()) + 1 if len(groups) else 0
    folding = library("sklearn.model_selection").KFold(n_splits=folds, shuffle=True, random_state=seed)
    fold_of = numpy.empty(different, dtype=numpy.intp)
    for k, (_, test) in enumerate(folding.split(numpy.zeros(different))):
        fold_of[test] = k
    of_prompt = fold_of[groups]
    return [(numpy.flatnonzero(of_prompt != k), numpy.flatnonzero(of_prompt == k)) for k in range(folds)]


def fit(texts: Sequence[str] | corpus.Corpus, strong: Sequence[float], weak: Sequence[float],
        settings: Settings) -> Model:
    """The model fitted on all the prompts. :class:`FitProblem` when there is nothing to
    learn from."""
    prompts = read(texts, settings)
    return _fit_rows(prompts, library("numpy").arange(len(prompts)), _gains(strong, weak), settings)[0]


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


def with_provenance(spec: SpecT, texts: Sequence[str]) -> SpecT:
    """``spec`` with what a router's checks read of the prompts it was fitted on in its
    ``fitted_on``: a digest of their texts (``prompt_digest``) and their coverage
    (:mod:`halvec.fitted.provenance`). :class:`FitProblem` when the router is too large to
    load."""
    try:
        router = FittedRouter(spec)
    except RouterFileError as error:  # over the engine's budget: n-grams of long words
        longest = max(map(len, spec.ngrams), default=0)
        raise FitProblem(f"the router fitted on these prompts is {error}; its longest n-gram has {longest:,} "
                         f"characters (prompts that repeat long unbroken runs of letters and digits, such as encoded "
                         f"data, make such n-grams)") from None
    summary = summarize(router.coverage(texts))
    return replace(spec, fitted_on={**spec.fitted_on, "prompt_digest": prompt_digest(texts),
                                    "coverage": summary.as_json() if summary is not None else None})


def spec_of(model: Model, settings: Settings, *, name: str, cuts: tuple[float, float],
            fitted_on: dict[str, Any]) -> RouterSpec:
    """The router file's content for a fitted model."""
    coef = [float(c) for c in model.ridge.coef_]
    size = len(model.ngrams)
    counts = {name_: CountTerm(coef[size + i] * settings.counts_weight, float(model.scale.mean_[i]),
                               float(model.scale.scale_[i]))
              for i, name_ in enumerate(features.COUNT_NAMES)}
    spec = RouterSpec(name=name, longest_ngram=settings.longest_ngram, intercept=float(model.ridge.intercept_),
                      cuts=cuts, counts=counts, ngrams=list(model.ngrams), weights=coef[:size],
                      idf=[float(v) for v in model.tfidf.idf_], fitted_on={**fitted_on, "settings": asdict(settings)})
    if not all(math.isfinite(v) for v in (*spec.weights, spec.intercept)):
        raise ValueError("the fit gave weights that are not finite numbers")
    return spec
