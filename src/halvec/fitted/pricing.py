"""A router's prices: what it expects a prompt to cost with each model, ``per_prompt[m] +
per_input_token[m] × input tokens`` (the form a version-2 router file holds; the input tokens
estimated as ``halvec eval`` estimates them, UTF-8 bytes / 4 rounded up).

- **From prices per 1,000 tokens** (a prices file's, or the catalogue's): a prompt is costed as
  the measures cost it (:mod:`halvec.quality.costs`), its input tokens estimated from the text
  and its output tokens ``eval``'s default estimate, so ``per_prompt`` is the output price of
  those tokens and ``per_input_token`` the input price of one token (:func:`listed`).
- **From the outcome files' per-prompt costs**: each model's mean cost (:func:`mean`), or a
  price that grows with the description, fitted to the costs by least squares with both parts
  at least 0 (:func:`by_length`). :mod:`halvec.fitted.fitting_models` keeps the second only
  where it measures better.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from halvec.evaluation import ESTIMATED_OUTPUT_TOKENS, Prices, estimate_input_tokens
from halvec.fitted.fit import library

__all__ = ["PriceForm", "PriceModel", "by_length", "input_tokens", "listed", "mean"]

PriceForm = Literal["mean", "by length", "per 1,000 tokens"]
"""How a router's prices were made: each model's mean per-prompt cost, a price fitted to grow
with the description's length, or prices per 1,000 tokens."""


@dataclass(frozen=True)
class PriceModel:
    """Each model's price for a prompt: ``per_prompt[m] + per_input_token[m] × input tokens``."""

    per_prompt: tuple[float, ...]
    per_input_token: tuple[float, ...]
    form: PriceForm

    def of(self, tokens: Any) -> Any:
        """A numpy array of each prompt's price with each model (a row a prompt), for the prompts'
        input tokens."""
        numpy = library("numpy")
        return (numpy.asarray(self.per_prompt)[None, :]
                + numpy.asarray(tokens, dtype=float)[:, None] * numpy.asarray(self.per_input_token)[None, :])


def input_tokens(texts: Sequence[str]) -> Any:
    """Each text's input tokens, as ``eval`` estimates them (a numpy array)."""
    return library("numpy").array([estimate_input_tokens(text) for text in texts], dtype=float)


def mean(costs: Any) -> PriceModel:
    """Each model's mean cost over the prompts (``costs``: a row a prompt, a column a model)."""
    means = library("numpy").asarray(costs, dtype=float).mean(axis=0)
    return PriceModel(tuple(map(float, means)), (0.0,) * len(means), "mean")


def by_length(costs: Any, tokens: Any) -> PriceModel:
    """Each model's ``per_prompt + per_input_token × tokens`` closest to its costs by least
    squares, with both at least 0 (``tokens``: each prompt's input tokens)."""
    numpy, optimize = library("numpy"), library("scipy.optimize")
    table = numpy.asarray(costs, dtype=float)
    scale = max(float(numpy.max(tokens, initial=0.0)), 1.0)  # columns of like size: a well-posed problem
    design = numpy.column_stack([numpy.ones(len(tokens)), numpy.asarray(tokens, dtype=float) / scale])
    fixed, per_token = [], []
    for m in range(table.shape[1]):
        solution, _ = optimize.nnls(design, table[:, m])
        fixed.append(float(solution[0]))
        per_token.append(float(solution[1]) / scale)
    return PriceModel(tuple(fixed), tuple(per_token), "by length")


def listed(models: Sequence[str], prices: Prices, keys: Mapping[str, str] | None = None) -> PriceModel:
    """The prices per 1,000 tokens of ``prices`` for each model (priced under ``keys.get(model,
    model)``; every one must have a price), as a prompt of the measures is costed."""
    per_1k = [prices.per_1k[(keys or {}).get(model, model)] for model in models]
    return PriceModel(tuple(output * ESTIMATED_OUTPUT_TOKENS / 1000 for _, output in per_1k),
                      tuple(input_ / 1000 for input_, _ in per_1k), "per 1,000 tokens")
