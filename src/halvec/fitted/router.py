"""A fitted router, loaded: its native scorer, and what it gives.

A version-1 file scores one model's gain over another, and its cut points make the score a tier
(``score``, ``tier``, ``cuts``, ``strong_mask``). A version-2 file predicts each of several
models' result and chooses among them by result and price (``models``, ``qualities``,
``prices``, ``choose``, and the batch forms of each); its ``tier`` is the chosen model's
catalogue tier. Asked for what its version does not give, a router raises TypeError.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from functools import cached_property, partial
from typing import Any, Literal, overload

from halvec import _fitted
from halvec.core import model_router as mr
from halvec.fitted.models_file import ModelsSpec
from halvec.fitted.provenance import Provenance
from halvec.fitted.router_file import RouterFileError, RouterSpec, load

__all__ = ["FittedRouter", "NoUsableModel", "load_router"]


class NoUsableModel(ValueError):
    """None of a router's models is usable: the caller's own fallback applies."""


class FittedRouter:
    """A fitted router of either version (see the module's text).

    Scoring is native: the n-grams are looked up in tables built when the router is made,
    which count against a memory budget that fitted routers have to themselves, as large as
    the pattern engine's."""

    def __init__(self, spec: RouterSpec | ModelsSpec, *, path: str | None = None) -> None:
        scorer: Any = None
        models: Any = None
        try:
            if isinstance(spec, ModelsSpec):
                models = _fitted.ModelScorer(
                    spec.models, spec.ngrams, spec.weights, spec.idf, spec.longest_ngram, list(spec.intercepts),
                    _terms(spec, "words"), _terms(spec, "characters"), list(spec.prices.per_prompt),
                    list(spec.prices.per_input_token))
            else:
                scorer = _fitted.Scorer(spec.ngrams, spec.weights, spec.idf, spec.longest_ngram, spec.intercept,
                                        _term(spec, "words"), _term(spec, "characters"))
        except MemoryError as error:
            if not str(error):  # out of memory, not over the budget: said as it is
                raise
            raise RouterFileError(None, f"too large to load: {error}") from None
        except ValueError as error:  # what the file's checks let through: the scorer's own refusal
            raise RouterFileError(None, str(error)) from None
        self.spec: RouterSpec | ModelsSpec = spec
        self.name: str = spec.name
        self.path: str | None = path
        """The file it was read from, where it was (errors name it)."""
        self._scorer: Any = scorer
        self._models: Any = models
        self.version: int = 2 if models is not None else 1
        if models is not None:
            assert isinstance(spec, ModelsSpec)
            self._bits = {model: 1 << m for m, model in enumerate(spec.models)}
            self._all = (1 << len(spec.models)) - 1
            self._lambda = spec.tradeoff.value
            # (a function of the name alone: a bound method kept here would make a cycle)
            self.score_one: Callable[[str], float] = partial(_not_version_1, spec.name)
            self._cuts: tuple[float, float] | None = None
        else:
            assert isinstance(spec, RouterSpec)
            self.score_one = scorer.score
            """The score of one text (the native scorer's own method: no Python work)."""
            self._cuts = spec.cuts

    def __repr__(self) -> str:
        if self._models is not None:
            return (f"<FittedRouter {self.name!r}: {self._models.ngrams} n-grams, models {', '.join(self.models)}, "
                    f"trade-off {self.tradeoff}>")
        return f"<FittedRouter {self.name!r}: {self._scorer.ngrams} n-grams, cuts {self.cuts}>"

    @property
    def memory(self) -> int:
        """Bytes the scorer's tables hold."""
        return int((self._models if self._models is not None else self._scorer).memory)

    @cached_property
    def provenance(self) -> Provenance:
        """What the file's ``fitted_on`` says of the data the router was fitted on."""
        return Provenance.of(self.spec.fitted_on)

    def coverage(self, texts: Sequence[str] | Iterable[str]) -> list[float | None]:
        """Each text's coverage (the share of its n-gram places that hold one of the router's
        n-grams; None for a text with no token): see :mod:`halvec.fitted.coverage`."""
        texts = _listed(texts)
        if self._models is not None:
            return self._models.coverage(texts)  # type: ignore[no-any-return]
        return self._scorer.scores_and_coverage(texts)[1]  # type: ignore[no-any-return]

    # --- version 1: a score and its tiers ----------------------------------------------------

    @property
    def cuts(self) -> tuple[float, float]:
        """(moderate, complex): a score from ``cuts[1]`` up is complex, from ``cuts[0]`` up moderate."""
        if self._cuts is None:
            self._only_version_1()
        assert self._cuts is not None
        return self._cuts

    def score(self, texts: Sequence[str] | Iterable[str]) -> list[float]:
        """The score of each text, in order."""
        if self._scorer is None:
            self._only_version_1()
        return self._scorer.scores(_listed(texts))  # type: ignore[no-any-return]

    def score_and_coverage(self, texts: Sequence[str] | Iterable[str]) -> tuple[list[float], list[float | None]]:
        """The score of each text and its coverage (the share of its n-gram places that hold
        one of the router's n-grams; None for a text with no token), read in one pass: see
        :mod:`halvec.fitted.coverage`."""
        if self._scorer is None:
            self._only_version_1()
        return self._scorer.scores_and_coverage(_listed(texts))  # type: ignore[no-any-return]

    def tier_of(self, score: float) -> mr.Complexity:
        """The tier a score falls in."""
        cuts = self.cuts
        tiers = mr.Complexity
        if score >= cuts[1]:
            return tiers.COMPLEX
        return tiers.MODERATE if score >= cuts[0] else tiers.SIMPLE

    def tier(self, text: str) -> mr.Complexity:
        """The tier of a description: a version-1 router's, as a ``classify_complexity`` of this
        router would give it; a version-2 router's, the catalogue tier of the model it chooses
        (at its own trade-off, among all its models). ValueError when the file's ``catalogue``
        gives that model no key; RouterFileError (naming the file) when the key is not in the
        catalogue in force (``AVAILABLE_MODELS``)."""
        if self._models is None:
            return self.tier_of(self.score_one(text))
        chosen = self.choose(text)
        key = self.catalogue_keys().get(chosen)
        if key is None:
            raise ValueError(f"router {self.name!r} chose {chosen!r}, which its file's \"catalogue\" maps to no "
                             f"catalogue key: that model has no tier")
        return mr.AVAILABLE_MODELS[key].complexity_tier

    def strong_mask(self, scores: Sequence[float]) -> list[bool]:
        """The router's operating point: the complex tier goes to the strong model."""
        cut = self.cuts[1]
        return [score >= cut for score in scores]

    # --- version 2: each model's result and price, and the choice ----------------------------

    @property
    def models(self) -> tuple[str, ...]:
        """The models, in the file's order. A version-1 router's are (strong, weak), from its
        ``fitted_on`` where it names them, else ()."""
        if isinstance(self.spec, ModelsSpec):
            return self.spec.models
        strong, weak = self.spec.fitted_on.get("strong"), self.spec.fitted_on.get("weak")
        return (strong, weak) if isinstance(strong, str) and isinstance(weak, str) else ()

    @property
    def tradeoff(self) -> float:
        """The trade-off (lambda) the file chooses at."""
        return self._version_2().tradeoff.value

    def qualities(self, text: str) -> dict[str, float]:
        """Every model's predicted result for ``text``, {model: result} in the file's order."""
        return self._many().qualities(text)  # type: ignore[no-any-return]

    @overload
    def qualities_batch(self, texts: Sequence[str] | Iterable[str], *,
                        flat: Literal[False] = False) -> list[list[float]]: ...
    @overload
    def qualities_batch(self, texts: Sequence[str] | Iterable[str], *, flat: Literal[True]) -> memoryview: ...

    def qualities_batch(self, texts: Sequence[str] | Iterable[str], *,
                        flat: bool = False) -> list[list[float]] | memoryview:
        """Every model's predicted result for each text, read natively in one call: a row for
        each text (in the order of ``models``), or with ``flat`` a memoryview of doubles, row
        after row (``numpy.frombuffer(view).reshape(-1, len(router.models))``)."""
        return self._many().qualities_of(_listed(texts), flat)  # type: ignore[no-any-return]

    def prices(self, text: str) -> dict[str, float]:
        """Every model's price for ``text``, {model: price}: ``per_prompt + per_input_token *
        input tokens`` (UTF-8 bytes / 4, rounded up)."""
        return self._many().prices(text)  # type: ignore[no-any-return]

    @overload
    def prices_batch(self, texts: Sequence[str] | Iterable[str], *,
                     flat: Literal[False] = False) -> list[list[float]]: ...
    @overload
    def prices_batch(self, texts: Sequence[str] | Iterable[str], *, flat: Literal[True]) -> memoryview: ...

    def prices_batch(self, texts: Sequence[str] | Iterable[str], *,
                     flat: bool = False) -> list[list[float]] | memoryview:
        """Every model's price for each text, as :meth:`qualities_batch` gives results."""
        return self._many().prices_of(_listed(texts), flat)  # type: ignore[no-any-return]

    def choose(self, text: str, usable: Iterable[str] | None = None, tradeoff: float | None = None) -> str:
        """The model for ``text``: among the ``usable`` ones (model names; None: all), the one with
        the highest predicted result less ``tradeoff`` (lambda; None: the file's) times its
        price; ties go to the lower price, then to the earlier model. :class:`NoUsableModel` (a
        ValueError) when ``usable`` holds none; ValueError for a name that is not one of the
        models, or a trade-off that is not a finite number at least 0."""
        models = self._many()
        return models.choose(text, self._all if usable is None else self.usable_mask(usable),  # type: ignore[no-any-return]
                             self._lambda if tradeoff is None else checked_tradeoff(tradeoff))

    def choose_batch(self, texts: Sequence[str] | Iterable[str], usable: Iterable[str] | None = None,
                     tradeoff: float | None = None) -> list[str]:
        """The model :meth:`choose` chooses for each text, read natively in one call."""
        models = self._many()
        mask = self._all if usable is None else self.usable_mask(usable)
        lambda_ = self._lambda if tradeoff is None else checked_tradeoff(tradeoff)
        return models.choices(_listed(texts), mask, lambda_)  # type: ignore[no-any-return]

    def choose_batch_and_coverage(self, texts: Sequence[str] | Iterable[str], usable: Iterable[str] | None = None,
                                  tradeoff: float | None = None) -> tuple[list[str], list[float | None]]:
        """:meth:`choose_batch` and :meth:`coverage` of the texts, read natively in one pass."""
        models = self._many()
        mask = self._all if usable is None else self.usable_mask(usable)
        lambda_ = self._lambda if tradeoff is None else checked_tradeoff(tradeoff)
        return models.choices_and_coverage(_listed(texts), mask, lambda_)  # type: ignore[no-any-return]

    def usable_mask(self, usable: Iterable[str]) -> int:
        """The models named by ``usable`` as a mask, bit ``m`` for ``models[m]`` (what the native
        scorer takes). TypeError for an item that is not a str (or a str for the whole), ValueError
        for a name that is not one of the models, :class:`NoUsableModel` when it names none."""
        self._many()
        if isinstance(usable, str):
            raise TypeError("usable must be an iterable of model names, not a str")
        mask = 0
        for name in usable:
            if not isinstance(name, str):
                raise TypeError(f"usable must hold model names (str), not {type(name).__name__}")
            exact = str.__str__(name)  # a str subclass read as the str it holds
            bit = self._bits.get(exact)
            if bit is None:
                raise ValueError(f"{exact!r} is not one of the models of router {self.name!r} "
                                 f"({', '.join(map(repr, self.models))})")
            mask |= bit
        if not mask:
            raise NoUsableModel(f"none of the models of router {self.name!r} is usable")
        return mask

    def catalogue_keys(self, catalogue: Mapping[str, object] | None = None) -> dict[str, str]:
        """The file's ``catalogue``: each model it maps, to its key in ``catalogue`` (None: the
        catalogue in force, ``AVAILABLE_MODELS``). RouterFileError, naming the file, when it maps
        a model to a key that ``catalogue`` does not hold."""
        keys = self._version_2().catalogue
        known = mr.AVAILABLE_MODELS if catalogue is None else catalogue
        for model, key in keys.items():
            if key not in known:
                where = repr(self.path) if self.path is not None else f"router {self.name!r}"
                raise RouterFileError(where, f"\"catalogue\" maps {model!r} to {key!r}, which is not in the "
                                             f"catalogue ({', '.join(map(repr, known))})")
        return dict(keys)

    def _version_2(self) -> ModelsSpec:
        if not isinstance(self.spec, ModelsSpec):
            self._many()
        assert isinstance(self.spec, ModelsSpec)
        return self.spec

    def _many(self) -> Any:
        if self._models is None:
            raise TypeError(f"router {self.name!r} is a version-1 router: it scores one model's gain over another, "
                            f"not each model's result (use score() or tier())")
        return self._models

    def _only_version_1(self) -> None:
        _not_version_1(self.name)


def _not_version_1(name: str, *_: object) -> float:
    raise TypeError(f"router {name!r} is a version-2 router: it predicts each model's result and chooses among "
                    f"them, with no score or cut points (use qualities() or choose())")


def _listed(texts: Sequence[str] | Iterable[str]) -> list[str] | tuple[str, ...]:
    return texts if isinstance(texts, (list, tuple)) else list(texts)


def checked_tradeoff(tradeoff: object) -> float:
    """A trade-off given by a caller, as a float: a finite number at least 0."""
    if isinstance(tradeoff, bool) or not isinstance(tradeoff, (int, float)):
        raise TypeError(f"the trade-off must be a number, not {type(tradeoff).__name__}")
    try:
        value = float.__float__(tradeoff) if isinstance(tradeoff, float) else int.__float__(tradeoff)
    except OverflowError:  # a whole number past the largest float
        value = math.inf
    if not (math.isfinite(value) and value >= 0):
        raise ValueError(f"the trade-off must be a finite number at least 0, not {value!r}")
    return value + 0.0  # (-0.0 read as 0.0)


def _term(spec: RouterSpec, name: str) -> tuple[float, float, float]:
    term = spec.counts[name]
    return term.weight, term.mean, term.scale


def _terms(spec: ModelsSpec, name: str) -> tuple[list[float], float, float]:
    terms = spec.counts[name]
    return list(terms.weights), terms.mean, terms.scale


def load_router(path: str) -> FittedRouter:
    """The fitted router in the file ``path`` (written by ``halvec fit``), of either version.
    OSError when the file cannot be read; :class:`RouterFileError` (a ValueError) when it is not
    a complete, sensible router file: truncated, another version, edited into nonsense (a
    weight that is not a finite number, cut points out of order, an n-gram that can never be
    found, weights of another length than the models, a price below 0)."""
    spec = load(path)
    try:
        return FittedRouter(spec, path=path)
    except RouterFileError as error:
        raise error.named(repr(path)) from None
