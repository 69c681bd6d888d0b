"""The fitted router file, version 2: a router that predicts each of several models' result on a
description and chooses among them by result and price. :mod:`halvec.fitted.router_file` reads
and writes both versions (``load``, ``parse``, ``dumps``); this module is what a version-2 file
holds and how it is checked.

An example, shortened (``docs/fitted_routers.md`` describes every key)::

    {
      "format": "halvec fitted router",
      "version": 2,
      "name": "arena",
      "about": "result[m] = intercepts[m] + ...; price[m] = ...; chosen: ...",
      "longest_ngram": 3,
      "models": ["gpt-4-0314", "claude-2", "mistral-7b"],
      "catalogue": {"gpt-4-0314": "claude-opus", "mistral-7b": "claude-haiku"},
      "intercepts": [0.71, 0.64, 0.42],
      "counts": {"words": {"weights": [0.01, 0.02, -0.03], "mean": 3.9, "scale": 0.8},
                 "characters": {"weights": [0.0, -0.01, -0.02], "mean": 5.5, "scale": 0.79}},
      "prices": {"per_prompt": [0.005, 0.0021, 0.0002], "per_input_token": [0.0, 0.0, 0.0],
                 "source": "prices file", "detail": "prices.toml"},
      "tradeoff": {"lambda": 31.7, "chosen_by": "target_share", "target": 0.95},
      "ngrams": [["prove", 2.71, [0.12, -0.05, -0.31]], ["<num> %", 3.4, [0.02, 0.01, -0.09]], ...],
      "fitted_on": {...}
    }

Model ``m``'s predicted result for a text, its price, and the choice::

    result[m] = intercepts[m]
              + sum over the file's n-grams found in the text of weights[m] * (1 + ln count) * idf / norm
              + sum over the counts of weights[m] * (log1p(count) - mean) / scale
    price[m]  = per_prompt[m] + per_input_token[m] * input tokens
    chosen    = the usable model with the highest result[m] - lambda * price[m];
                ties to the lower price, then to the earlier model in "models"

The text is read as a version-1 router reads it (:mod:`halvec.fitted.features`: the same
tokens, n-grams, ``norm`` and counts); its input tokens are estimated as ``halvec eval``
estimates them (:func:`halvec.evaluation.estimate_input_tokens`: UTF-8 bytes / 4, rounded up).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from halvec.fitted import features
from halvec.fitted.router_file import (
    FORMAT, MOST_SCORE, CountTerm, RouterFileError, an_object, check_bounded, check_keys, check_ngram,
    fitted_on_of, longest_of, name_of, number, shown)

__all__ = ["MAX_MODELS", "MIN_MODELS", "PRICE_SOURCES", "TRADEOFF_CHOICES", "VERSION", "CountTerms", "ModelsSpec",
           "Prices", "Tradeoff", "from_document"]

VERSION = 2
MIN_MODELS = 2
MAX_MODELS = 16
"""The most models a file may hold (the native scorer scores them all in one pass)."""
PRICE_SOURCES = ("outcome costs", "prices file", "catalogue")
"""Where a file's prices may come from: the outcome files' per-prompt costs (the mean for each
model), a prices file, or the catalogue."""
TRADEOFF_CHOICES = ("target_share", "budget", "tradeoff")
"""How a file's trade-off may have been chosen: for a share of the best single model's result,
for a budget per prompt, or given as it is."""
ABOUT = ("result[m] = intercepts[m] + sum of weights[m] * (1 + ln count) * idf / norm over the n-grams found "
         "+ sum of weights[m] * (log1p(count) - mean) / scale over the counts; price[m] = per_prompt[m] "
         "+ per_input_token[m] * input tokens (UTF-8 bytes / 4, rounded up); chosen: the usable model with the "
         "highest result[m] - lambda * price[m], ties to the lower price, then the earlier model "
         "(see halvec's docs/fitted_routers.md)")

_KEYS = {"format", "version", "name", "about", "longest_ngram", "models", "catalogue", "intercepts", "counts",
         "prices", "tradeoff", "ngrams", "fitted_on"}
_REQUIRED = ("format", "version", "longest_ngram", "models", "intercepts", "counts", "prices", "tradeoff", "ngrams")
# The most input tokens a text can be estimated at: a str's length is below 2**63, and a
# character takes at most 4 bytes.
_MOST_TOKENS = 2.0 ** 63


@dataclass(frozen=True, slots=True)
class CountTerms:
    """One count's terms of the predicted results: ``weights[m] * (log1p(count) - mean) / scale``
    for model ``m``."""

    weights: tuple[float, ...]
    mean: float
    scale: float


@dataclass(frozen=True, slots=True)
class Prices:
    """Each model's price for a text: ``per_prompt[m] + per_input_token[m] * input tokens``."""

    per_prompt: tuple[float, ...]
    per_input_token: tuple[float, ...]
    source: str
    """Where they came from: one of :data:`PRICE_SOURCES`."""
    detail: str = ""
    """For people: a file's name, an as-of date."""


@dataclass(frozen=True, slots=True)
class Tradeoff:
    """The trade-off (``lambda``) the router chooses at, and how it was chosen."""

    value: float
    chosen_by: str
    """One of :data:`TRADEOFF_CHOICES`."""
    target: float | None = None
    """What it was chosen for: the share of the best single model's result (``target_share``) or
    the mean cost per prompt (``budget``); None for a trade-off given as it is."""


@dataclass(frozen=True)
class ModelsSpec:
    """A fitted router of several models, as its file gives it (checked)."""

    name: str
    longest_ngram: int
    models: tuple[str, ...]
    intercepts: tuple[float, ...]
    counts: dict[str, CountTerms]
    """By name: ``words`` and ``characters``."""
    prices: Prices
    tradeoff: Tradeoff
    ngrams: list[str]
    idf: list[float]
    weights: list[list[float]]
    """A row for each n-gram: its weight for each model, in the order of ``models``."""
    catalogue: dict[str, str] = field(default_factory=dict)
    """A model of ``models`` to its key in the catalogue (``AVAILABLE_MODELS``); models it leaves
    out have none."""
    fitted_on: dict[str, Any] = field(default_factory=dict)

    def document(self) -> dict[str, Any]:
        """The JSON object of the file, the n-grams that tell the models apart most first (by the
        spread of their weights)."""
        order = sorted(range(len(self.ngrams)), key=lambda i: (-_spread(self.weights[i]), self.ngrams[i]))
        prices, tradeoff = self.prices, self.tradeoff
        document: dict[str, Any] = {
            "format": FORMAT, "version": VERSION, "name": self.name, "about": ABOUT,
            "longest_ngram": self.longest_ngram, "models": list(self.models)}
        if self.catalogue:
            document["catalogue"] = dict(self.catalogue)
        document |= {
            "intercepts": list(self.intercepts),
            "counts": {name: {"weights": list(term.weights), "mean": term.mean, "scale": term.scale}
                       for name, term in self.counts.items()},
            "prices": {"per_prompt": list(prices.per_prompt), "per_input_token": list(prices.per_input_token),
                       "source": prices.source, "detail": prices.detail},
            "tradeoff": {"lambda": tradeoff.value, "chosen_by": tradeoff.chosen_by,
                         **({"target": tradeoff.target} if tradeoff.target is not None else {})},
            "ngrams": [[self.ngrams[i], self.idf[i], list(self.weights[i])] for i in order],
            "fitted_on": self.fitted_on,
        }
        return document


def _spread(weights: Sequence[float]) -> float:
    return max(weights) - min(weights) if weights else 0.0


def from_document(document: dict[str, Any], default_name: str) -> ModelsSpec:
    """A version-2 router from its file's JSON object; RouterFileError when it is not a sensible one."""
    check_keys(document, _REQUIRED, _KEYS)
    name = name_of(document, default_name)
    longest = longest_of(document)
    models = _models(document["models"])
    intercepts = tuple(_numbers(document["intercepts"], models, '"intercepts"'))
    counts = _counts(document["counts"], models)
    prices = _prices(document["prices"], models)
    tradeoff = _tradeoff(document["tradeoff"])
    catalogue = _catalogue(document.get("catalogue", {}), models)
    ngrams, idf, weights = _ngrams(document["ngrams"], longest, models)
    fitted_on = fitted_on_of(document)
    _check_bounded(models, intercepts, counts, weights)
    return ModelsSpec(name=name, longest_ngram=longest, models=models, intercepts=intercepts, counts=counts,
                      prices=prices, tradeoff=tradeoff, ngrams=ngrams, idf=idf, weights=weights,
                      catalogue=catalogue, fitted_on=fitted_on)


def _models(value: Any) -> tuple[str, ...]:
    if not isinstance(value, list) or not all(isinstance(model, str) for model in value):
        raise RouterFileError(None, f'"models" must be a list of the models\' names, not {shown(value)}')
    if not MIN_MODELS <= len(value) <= MAX_MODELS:
        raise RouterFileError(None, f'"models" must name {MIN_MODELS} to {MAX_MODELS} models, not {len(value)}')
    seen: set[str] = set()
    for model in value:
        if not model.strip():
            raise RouterFileError(None, f'"models": {model!r} is not a name (a model\'s name is a non-empty text)')
        if model in seen:
            raise RouterFileError(None, f'"models": {model!r} is there twice')
        seen.add(model)
    return tuple(value)


def _numbers(value: Any, models: Sequence[str], what: str) -> list[float]:
    """One finite number a model, in the order of ``models``."""
    if not isinstance(value, list) or len(value) != len(models):
        raise RouterFileError(None, f'{what} must be a list of {len(models)} numbers, one a model in the order of '
                              f'"models", not {shown(value)}')
    if all(type(item) is float for item in value) and all(map(math.isfinite, value)):
        return value  # as JSON reads fractions: already what the scorer takes
    return [number(item, f"{what} ({models[m]!r})") for m, item in enumerate(value)]


def _counts(value: Any, models: Sequence[str]) -> dict[str, CountTerms]:
    counts = an_object(value, '"counts"', features.COUNT_NAMES)
    terms = {}
    for name in features.COUNT_NAMES:
        what = f'"counts"."{name}"'
        term = an_object(counts[name], what, ("weights", "mean", "scale"))
        scale = number(term["scale"], f"{what}.scale")
        if scale <= 0:
            raise RouterFileError(None, f"{what}.scale must be above 0, not {term['scale']!r}")
        terms[name] = CountTerms(tuple(_numbers(term["weights"], models, f"{what}.weights")),
                                 number(term["mean"], f"{what}.mean"), scale)
    return terms


def _prices(value: Any, models: Sequence[str]) -> Prices:
    prices = an_object(value, '"prices"', ("per_prompt", "source"), ("per_input_token", "detail"))
    per_prompt = _numbers(prices["per_prompt"], models, '"prices"."per_prompt"')
    per_token = (_numbers(prices["per_input_token"], models, '"prices"."per_input_token"')
                 if "per_input_token" in prices else [0.0] * len(models))
    for what, listed in (("per_prompt", per_prompt), ("per_input_token", per_token)):
        for model, price in zip(models, listed):
            if price < 0:
                raise RouterFileError(None, f'"prices"."{what}": the price of {model!r} must be at least 0, not {price!r}')
    for model, fixed, by_token in zip(models, per_prompt, per_token):
        most = fixed + by_token * _MOST_TOKENS
        if not most <= MOST_SCORE:
            raise RouterFileError(
                None, f"the price of {model!r} could reach {most:.3g} (a text's input tokens are below 2**63): prices "
                f"beyond {MOST_SCORE:g} are not sure to be finite numbers")
    source = prices["source"]
    if source not in PRICE_SOURCES:
        raise RouterFileError(None, f'"prices"."source" must be one of {", ".join(map(repr, PRICE_SOURCES))}, '
                              f"not {shown(source)}")
    detail = prices.get("detail", "")
    if not isinstance(detail, str):
        raise RouterFileError(None, f'"prices"."detail" must be a text, not {shown(detail)}')
    return Prices(tuple(per_prompt), tuple(per_token), source, detail)


def _tradeoff(value: Any) -> Tradeoff:
    tradeoff = an_object(value, '"tradeoff"', ("lambda", "chosen_by"), ("target",))
    lambda_ = number(tradeoff["lambda"], '"tradeoff"."lambda"')
    if lambda_ < 0:
        raise RouterFileError(None, f'"tradeoff"."lambda" must be at least 0, not {tradeoff["lambda"]!r}')
    chosen_by = tradeoff["chosen_by"]
    if chosen_by not in TRADEOFF_CHOICES:
        raise RouterFileError(None, f'"tradeoff"."chosen_by" must be one of {", ".join(map(repr, TRADEOFF_CHOICES))}, '
                              f"not {shown(chosen_by)}")
    target = tradeoff.get("target")
    if target is not None:
        target = number(target, '"tradeoff"."target"')
        if target < 0:
            raise RouterFileError(None, f'"tradeoff"."target" must be at least 0, not {tradeoff["target"]!r}')
    elif chosen_by != "tradeoff":
        raise RouterFileError(None, f'"tradeoff" chosen by {chosen_by} needs the "target" it was chosen for')
    return Tradeoff(lambda_ + 0.0, chosen_by, target)  # (+ 0.0: -0.0 read as 0.0)


def _catalogue(value: Any, models: Sequence[str]) -> dict[str, str]:
    if not isinstance(value, dict):
        raise RouterFileError(None, f'"catalogue" must be an object, a model of "models" to its catalogue key, '
                              f"not {shown(value)}")
    for model, key in value.items():
        if model not in models:
            raise RouterFileError(None, f'"catalogue" maps {model!r}, which is not one of "models"')
        if not isinstance(key, str) or not key.strip():
            raise RouterFileError(None, f'"catalogue" maps {model!r} to {shown(key)}, not to a catalogue key '
                                  f"(a non-empty text)")
    return value


def _ngrams(value: Any, longest: int, models: Sequence[str]) -> tuple[list[str], list[float], list[list[float]]]:
    if not isinstance(value, list):
        raise RouterFileError(None, '"ngrams" must be a list of [text, idf, [a weight a model]]')
    texts: list[str] = []
    idf: list[float] = []
    weights: list[list[float]] = []
    seen: set[str] = set()
    for index, item in enumerate(value):
        what = f'"ngrams" item {index}'
        if not isinstance(item, list) or len(item) != 3 or not isinstance(item[0], str):
            raise RouterFileError(None, f"{what} must be [text, idf, [a weight a model]], not {shown(item)}")
        text = item[0]
        check_ngram(text, what, longest, seen)
        inverse = number(item[1], f"{what} ({text!r}) idf")
        if inverse <= 0:
            raise RouterFileError(None, f"{what} ({text!r}): the idf must be above 0, not {item[1]!r}")
        texts.append(text)
        idf.append(inverse)
        weights.append(_numbers(item[2], models, f"{what} ({text!r}) weights"))
    return texts, idf, weights


def _check_bounded(models: Sequence[str], intercepts: Sequence[float], counts: dict[str, CountTerms],
                   weights: list[list[float]]) -> None:
    """Refuses a router some text would give a predicted result that is not a finite number: each
    model's must keep within the bound a version-1 router's score keeps within."""
    columns = list(zip(*weights)) if weights else [()] * len(models)
    for m, model in enumerate(models):
        terms = {name: CountTerm(term.weights[m], term.mean, term.scale) for name, term in counts.items()}
        try:
            check_bounded(intercepts[m], terms, columns[m])
        except RouterFileError as error:
            raise RouterFileError(None, f"the results of {model!r}: {error}") from None
