"""What each prompt costs with each model, for the many-model measures (:mod:`halvec.quality.models`).

In order: the outcome file's own per-prompt ``costs``; else prices per 1,000 input and output
tokens, a prices file's (:class:`halvec.evaluation.Prices`, as ``eval --prices`` reads it) or
else the catalogue's, for models named by their catalogue keys (or mapped to one). A prompt is
priced as ``eval`` prices a task without token counts of its own: its input tokens estimated
from the text (:func:`halvec.evaluation.estimate_input_tokens`), its output tokens the stated
default (:data:`halvec.evaluation.ESTIMATED_OUTPUT_TOKENS`).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal

from halvec.evaluation import ESTIMATED_OUTPUT_TOKENS, Prices, estimate_input_tokens, task_cost
from halvec.quality.outcomes import Outcomes

__all__ = ["CostSource", "MissingPrices", "PromptCosts", "prompt_costs"]

CostSource = Literal["outcome costs", "prices file", "catalogue"]


class MissingPrices(ValueError):
    """Models with no cost: the file gives no per-prompt costs, and the prices have none for them."""

    def __init__(self, where: str, models: list[str], source: CostSource) -> None:
        self.where: str = where
        self.models: list[str] = models
        self.source: CostSource = source
        named = ", ".join(map(repr, models))
        super().__init__(f"{where}: no price for {named}: the file gives no per-prompt \"costs\", and the "
                         f"{'prices file' if source == 'prices file' else 'catalogue'} has no model "
                         f"{'key ' if source == 'catalogue' else ''}of {'that name' if len(models) == 1 else 'those names'}")


@dataclass(frozen=True)
class PromptCosts:
    """Each prompt's cost with each model (a row per prompt, in the order of the models read)."""

    rows: list[list[float]]
    source: CostSource
    detail: str | None = None
    """The prices file as named, with the date its prices are of where it says one."""
    estimated: bool = False
    """Whether the costs rest on estimated token counts (all of them, when priced)."""


def prompt_costs(outcomes: Outcomes, prices: Prices | None = None, keys: Mapping[str, str] | None = None) -> PromptCosts:
    """The costs of ``outcomes`` (read with ``models``): its own where it has them, else at
    ``prices`` (None: the catalogue's), each model priced under ``keys.get(model, model)``.
    :class:`MissingPrices` names the models that have no price."""
    models = outcomes.chosen
    if outcomes.costs is not None:
        return PromptCosts(outcomes.costs, "outcome costs")
    source: CostSource = "catalogue" if prices is None or prices.source is None else "prices file"
    table = prices or Prices.catalogue()
    priced = [(keys or {}).get(model, model) for model in models]
    missing = [model for model, key in zip(models, priced) if key not in table.per_1k]
    if missing:
        where = "standard input" if outcomes.source == "-" else repr(outcomes.source)
        raise MissingPrices(where, missing, source)
    rows = []
    for text in outcomes.texts:
        tokens = estimate_input_tokens(text)
        rows.append([task_cost(key, tokens, ESTIMATED_OUTPUT_TOKENS, table) for key in priced])
    detail = None if table.source is None else table.source + (f" (as of {table.as_of})" if table.as_of else "")
    return PromptCosts(rows, source, detail, estimated=True)
