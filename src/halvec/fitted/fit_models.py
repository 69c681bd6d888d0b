"""The model a router of many models is fitted as (needs the extra ``halvec[fit]``);
:mod:`halvec.fitted.fitting_models` fits a router to outcome files with it.

Each model's result on a prompt is predicted by a ridge regression on the features a version-1
router reads (the description's n-grams as sublinear tf-idf normalised to unit length, beside
the two scaled counts: :mod:`halvec.fitted.fit`), all models on the same features, so that a
version-2 router file holds a row of weights an n-gram. Three forms, by :class:`ModelSettings`:

- **one ridge a model** at one ``alpha`` (the default);
- **each model's own** ``alpha``, chosen among ``alphas`` by an inner cross-validation on the
  prompts it is fitted on (:data:`INNER_FOLDS` folds, on the features of those prompts);
- **a joint model**: the models' mean result fitted at ``alpha``, and each model's deviation
  from that mean at ``deviation_alpha`` (more shrinkage on what tells the models apart). With
  the same design for every model this is the ridge of a shared part plus a part a model, and
  at ``deviation_alpha == alpha`` it is one ridge a model.

Every form is linear in the features, so a fit is a matrix of weights (a row a model) and an
intercept a model: what the file holds. Everything learnt from data (the n-grams kept, their
idf, the counts' scaling, the alphas) is learnt inside each fold of the cross-validation.
docs/fitted_routers.md gives how the forms measured.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import asdict, dataclass
from typing import Any

from halvec.fitted import corpus, features
from halvec.fitted.fit import FitProblem, fold_rows, library
from halvec.fitted.models_file import CountTerms, ModelsSpec, Prices, Tradeoff

__all__ = ["INNER_FOLDS", "ModelSettings", "ModelsModel", "cross_validate", "fit", "read_prompts", "spec_of"]

INNER_FOLDS = 5
"""The folds of the inner cross-validation that chooses each model's penalty."""


@dataclass(frozen=True)
class ModelSettings:
    """The model's settings; every one is recorded in the file's ``fitted_on``."""

    longest_ngram: int = 3
    max_ngrams: int = 20_000
    """The most n-grams kept: the most frequent of those in at least ``min_prompts`` prompts."""
    min_prompts: int = 2
    counts_weight: float = 0.3
    """The weight of the two scaled counts beside the unit-length n-gram vector."""
    alpha: float = 30.0
    """The ridge penalty (of the shared part, for a joint model)."""
    alphas: tuple[float, ...] = ()
    """Where given, each model's penalty is chosen among these (``alpha`` is then unused)."""
    deviation_alpha: float | None = None
    """Where given, a joint model: the penalty of each model's deviation from the models' mean."""

    def __post_init__(self) -> None:
        for value in (self.alpha, *self.alphas, *(() if self.deviation_alpha is None else (self.deviation_alpha,))):
            if not (math.isfinite(value) and value > 0):
                raise ValueError(f"a ridge penalty must be a finite number above 0, not {value!r}")
        if self.alphas and self.deviation_alpha is not None:
            raise ValueError("a model's own alpha and a joint model are two forms: choose one")

    @property
    def form(self) -> str:
        """``ridge``, ``ridge, alpha a model`` or ``joint``."""
        return "joint" if self.deviation_alpha is not None else "ridge, alpha a model" if self.alphas else "ridge"

    def as_json(self) -> dict[str, Any]:
        return {**asdict(self), "alphas": list(self.alphas), "form": self.form}


@dataclass(frozen=True)
class ModelsModel:
    """A fitted model: the n-grams kept, their idf, the counts' scaling, and a row of weights
    for each model over the n-grams then the two counts (as scaled and weighted)."""

    settings: ModelSettings
    ngrams: list[str]
    tfidf: Any
    """scikit-learn's TfidfTransformer, fitted on the kept n-grams' counts."""
    scale: Any
    """scikit-learn's StandardScaler, fitted on the counts."""
    coef: Any
    """A numpy array, a row a model."""
    intercepts: Any
    alphas: tuple[float, ...]
    """Each model's penalty, as fitted (for a joint model, that of its deviation)."""

    def design(self, counts: Any, sizes: Any) -> Any:
        """The regression's input for prompts' n-gram counts (of the kept n-grams) and counts."""
        return _design(self.tfidf, self.scale, self.settings.counts_weight, counts, sizes)

    def predict_design(self, design: Any) -> Any:
        """Each model's predicted result (a row a prompt) for the design's rows."""
        return design @ self.coef.T + self.intercepts

    def predict(self, texts: Sequence[str]) -> Any:
        """Each model's predicted result for new texts, read afresh."""
        columns = {gram: i for i, gram in enumerate(self.ngrams)}
        counts = corpus.counts_of(list(texts), columns, self.settings.longest_ngram)
        sizes = library("numpy").array([features.counts(text) for text in texts], dtype=float)
        return self.predict_design(self.design(counts, sizes.reshape(-1, len(features.COUNT_NAMES))))


def _design(tfidf: Any, scale: Any, weight: float, counts: Any, sizes: Any) -> Any:
    return library("scipy.sparse").hstack([tfidf.transform(counts), scale.transform(sizes) * weight]).tocsr()


def read_prompts(texts: Sequence[str] | corpus.Corpus, settings: ModelSettings) -> corpus.Corpus:
    """The prompts read once, for :func:`cross_validate` and :func:`fit` to share."""
    if isinstance(texts, corpus.Corpus):
        return texts
    return corpus.read(texts, longest=settings.longest_ngram, min_prompts=settings.min_prompts)


def _ridge(alpha: float) -> Any:
    return library("sklearn.linear_model").Ridge(alpha=alpha)


def _regression(design: Any, results: Any, groups: Any, settings: ModelSettings) -> tuple[Any, Any, tuple[float, ...]]:
    """(weights a row a model, intercepts, penalties) of the settings' form, fitted on ``design``
    (``groups``: each row's text, whose copies an inner cross-validation keeps in one fold)."""
    numpy = library("numpy")
    width = results.shape[1]
    if settings.deviation_alpha is not None:
        mean = results.mean(axis=1)
        shared = _ridge(settings.alpha).fit(design, mean)
        deviations = _ridge(settings.deviation_alpha).fit(design, results - mean[:, None])
        coef = numpy.asarray(deviations.coef_) + numpy.asarray(shared.coef_)[None, :]
        return (coef, numpy.asarray(deviations.intercept_) + float(shared.intercept_),
                (settings.deviation_alpha,) * width)
    alphas = _chosen_alphas(design, results, groups, settings) if settings.alphas else (settings.alpha,) * width
    coef = numpy.zeros((width, design.shape[1]))
    intercepts = numpy.zeros(width)
    for alpha in sorted(set(alphas)):  # one fit for the models that share a penalty
        which = [m for m in range(width) if alphas[m] == alpha]
        ridge = _ridge(alpha).fit(design, results[:, which])
        coef[which] = numpy.asarray(ridge.coef_).reshape(len(which), -1)
        intercepts[which] = ridge.intercept_
    return coef, intercepts, alphas


def _chosen_alphas(design: Any, results: Any, groups: Any, settings: ModelSettings) -> tuple[float, ...]:
    """Each model's penalty among ``settings.alphas``: the one of least squared error on an
    inner cross-validation of the rows (:data:`INNER_FOLDS` folds; the smaller penalty of equals)."""
    numpy = library("numpy")
    alphas = sorted(settings.alphas)
    _, texts = numpy.unique(groups, return_inverse=True)
    folds = min(INNER_FOLDS, int(texts.max()) + 1)
    if folds < 2:
        return (alphas[0],) * int(results.shape[1])
    errors = numpy.zeros((len(alphas), results.shape[1]))
    for train, test in fold_rows(texts, folds, 0):
        for a, alpha in enumerate(alphas):
            ridge = _ridge(alpha).fit(design[train], results[train])
            errors[a] += ((ridge.predict(design[test]).reshape(len(test), -1) - results[test]) ** 2).sum(axis=0)
    return tuple(float(alphas[a]) for a in errors.argmin(axis=0))


def _fit_rows(prompts: corpus.Corpus, rows: Any, results: Any, settings: ModelSettings) -> tuple[ModelsModel, Any]:
    """The model fitted on ``rows`` of the prompts, and the columns it keeps."""
    text, preprocessing = library("sklearn.feature_extraction.text"), library("sklearn.preprocessing")
    columns = prompts.columns(rows, min_prompts=settings.min_prompts, most=settings.max_ngrams)
    if len(columns) == 0:
        which = "the prompts" if len(rows) == len(prompts) else "the prompts of a fit of the cross-validation"
        raise FitProblem(f"no word or word sequence is in {settings.min_prompts} or more of {which}: there is "
                         f"nothing to learn from (blank prompts, or prompts that share no word)")
    counts = prompts.counts[rows][:, columns]
    tfidf = text.TfidfTransformer(sublinear_tf=True).fit(counts)
    scale = preprocessing.StandardScaler().fit(prompts.sizes[rows])
    design = _design(tfidf, scale, settings.counts_weight, counts, prompts.sizes[rows])
    coef, intercepts, alphas = _regression(design, results[rows], prompts.groups[rows], settings)
    return ModelsModel(settings, [prompts.ngrams[c] for c in columns], tfidf, scale, coef, intercepts, alphas), columns


def _results(results: Sequence[Sequence[float]] | Any) -> Any:
    return library("numpy").asarray(results, dtype=float)


def cross_validate(texts: Sequence[str] | corpus.Corpus, results: Sequence[Sequence[float]] | Any, *, folds: int,
                   seed: int, settings: ModelSettings,
                   progress: Callable[[int], None] | None = None) -> tuple[Any, Any]:
    """Each prompt's predicted results (a row a prompt, a column a model) by a model fitted on
    the other folds (shuffled with ``seed``; a text's copies kept in one fold), and each
    prompt's fold. ``progress`` is called with the number of folds done."""
    numpy = library("numpy")
    prompts = read_prompts(texts, settings)
    table = _results(results)
    predicted = numpy.zeros(table.shape)
    fold_of = numpy.zeros(len(prompts), dtype=numpy.intp)
    for done, (train, test) in enumerate(fold_rows(prompts.groups, folds, seed)):
        model, columns = _fit_rows(prompts, train, table, settings)
        predicted[test] = model.predict_design(model.design(prompts.counts[test][:, columns], prompts.sizes[test]))
        fold_of[test] = done
        if progress is not None:
            progress(done + 1)
    return predicted, fold_of


def fit(texts: Sequence[str] | corpus.Corpus, results: Sequence[Sequence[float]] | Any,
        settings: ModelSettings) -> ModelsModel:
    """The model fitted on all the prompts. :class:`FitProblem` when there is nothing to learn from."""
    prompts = read_prompts(texts, settings)
    return _fit_rows(prompts, library("numpy").arange(len(prompts)), _results(results), settings)[0]


def spec_of(model: ModelsModel, *, name: str, models: Sequence[str], prices: Prices, tradeoff: Tradeoff,
            catalogue: Mapping[str, str], fitted_on: dict[str, Any]) -> ModelsSpec:
    """The version-2 router file's content for a fitted model."""
    size, weight = len(model.ngrams), model.settings.counts_weight
    coef = model.coef
    counts = {count: CountTerms(tuple(float(coef[m, size + k]) * weight for m in range(len(models))),
                                float(model.scale.mean_[k]), float(model.scale.scale_[k]))
              for k, count in enumerate(features.COUNT_NAMES)}
    weights = coef[:, :size].T.tolist()
    intercepts = tuple(float(v) for v in model.intercepts)
    if not all(math.isfinite(v) for v in (*intercepts, *(w for row in weights for w in row))):
        raise ValueError("the fit gave weights that are not finite numbers")
    return ModelsSpec(name=name, longest_ngram=model.settings.longest_ngram, models=tuple(models),
                      intercepts=intercepts, counts=counts, prices=prices, tradeoff=tradeoff,
                      ngrams=list(model.ngrams), idf=[float(v) for v in model.tfidf.idf_], weights=weights,
                      catalogue=dict(catalogue),
                      fitted_on={**fitted_on, "settings": model.settings.as_json(), "alphas": list(model.alphas)})
