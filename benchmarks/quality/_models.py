"""Many-model outcome sets for the quality benchmarks: each set of a folder read for every model,
costed by its own per-prompt costs or, without them, at the list prices of
``benchmarks/quality/list_prices.toml`` (an assumption the docs state)."""

import json
import pathlib
import tomllib

from halvec.evaluation import ESTIMATED_OUTPUT_TOKENS, Prices, estimate_input_tokens
from halvec.quality.costs import prompt_costs
from halvec.quality.models import ModelSet
from halvec.quality.outcomes import read_outcomes

LIST_PRICES = pathlib.Path(__file__).with_name("list_prices.toml")
SETS = ("arena_bench_v1.jsonl", "routerarena_2.jsonl", "routellm_gsm8k.jsonl", "routellm_mmlu.jsonl")
"""The sets measured, smallest first: all but MT-Bench's 72 prompts."""


def list_prices() -> Prices:
    """The list prices, as eval's prices file gives them (its names need not be catalogue keys here)."""
    document = tomllib.loads(LIST_PRICES.read_text(encoding="utf-8"))
    return Prices({model: (entry["input"], entry["output"]) for model, entry in document["models"].items()},
                  source=LIST_PRICES.name, as_of=document["as_of"].isoformat())


def model_set(path: pathlib.Path) -> tuple[ModelSet, Prices | None]:
    """The set's prompts, results and costs, and the prices it was costed at (None: its own costs)."""
    outcomes = read_outcomes(str(path), models="all")
    prices = None if outcomes.costs is not None else list_prices()
    return ModelSet.of(outcomes, prompt_costs(outcomes, prices)), prices


def write_costed(path: pathlib.Path, target: pathlib.Path, rows=None) -> None:
    """``path``'s lines (or those of ``rows``, indexes), each with per-prompt "costs" at the list
    prices where it has none (as a prices file costs a prompt: its input tokens estimated, and
    eval's default output tokens), for ``halvec fit``, whose --prices takes catalogue keys only."""
    prices = list_prices()
    lines = [line for line in path.read_text(encoding="utf-8").split("\n") if line.strip()]
    with target.open("w", encoding="utf-8") as out:
        for i in (range(len(lines)) if rows is None else rows):
            record = json.loads(lines[i])
            if "costs" not in record:
                tokens = estimate_input_tokens(record["prompt"])
                record["costs"] = {m: (tokens * prices.per_1k[m][0] + ESTIMATED_OUTPUT_TOKENS * prices.per_1k[m][1])
                                   / 1000 for m in record["scores"]}
            out.write(json.dumps(record) + "\n")
