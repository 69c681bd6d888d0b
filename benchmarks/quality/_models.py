"""Many-model outcome sets for the quality benchmarks: each set of a folder read for every model,
costed by its own per-prompt costs or, without them, at the list prices of late 2023 in
``benchmarks/quality/*_prices.toml`` (an assumption the docs state)."""

import pathlib

from halvec.evaluation import Prices, load_prices
from halvec.quality.costs import prompt_costs
from halvec.quality.models import ModelSet
from halvec.quality.outcomes import read_outcomes

HERE = pathlib.Path(__file__).parent
PRICE_FILES = (HERE / "arena_bench_v1_prices.toml", HERE / "routellm_prices.toml")
SETS = ("arena_bench_v1.jsonl", "routerarena_2.jsonl", "routellm_gsm8k.jsonl", "routellm_mmlu.jsonl")
"""The sets measured, smallest first: all but MT-Bench's 72 prompts."""


def prices_file(models) -> pathlib.Path:
    """The list prices file that prices every one of ``models`` (the files' names)."""
    for path in PRICE_FILES:
        if set(models) <= set(load_prices(str(path), any_model=True).per_1k):
            return path
    raise LookupError(f"no list prices for {', '.join(models)}")


def model_set(path: pathlib.Path) -> tuple[ModelSet, Prices | None]:
    """The set's prompts, results and costs, and the prices it was costed at (None: its own costs)."""
    outcomes = read_outcomes(str(path), models="all")
    prices = None if outcomes.costs is not None else load_prices(str(prices_file(outcomes.chosen)), any_model=True)
    return ModelSet.of(outcomes, prompt_costs(outcomes, prices)), prices


def write_rows(path: pathlib.Path, target: pathlib.Path, rows=None) -> None:
    """``path``'s lines, or those of ``rows`` (indexes), written to ``target``."""
    lines = [line for line in path.read_text(encoding="utf-8").split("\n") if line.strip()]
    target.write_text("".join(lines[i] + "\n" for i in (range(len(lines)) if rows is None else rows)),
                      encoding="utf-8")
