"""A version-2 fitted router's choice among its models, as ``classify --explain`` and ``route
--explain`` show it: every model's predicted result, price and objective, and the n-grams that
most separated the chosen model from the runner-up, as text lines and as JSON."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Literal, TypedDict

from halvec.cli import output
from halvec.core import model_router as mr
from halvec.fitted import ChoiceExplanation, FittedRouter, explain_score

__all__ = ["ChoiceReasonJSON", "ModelFiguresJSON", "SeparationJSON", "catalogue_tier", "choice_json", "choose",
           "describe_choice", "explain_choice"]


class ModelFiguresJSON(TypedDict):
    model: str
    catalogue_key: str | None
    """The key the router file's ``catalogue`` maps the model to (null: none)."""
    result: float
    """The predicted result."""
    price: float
    objective: float
    """``result - tradeoff * price``."""
    usable: bool
    """Whether the choice was among the models it could take (not passed over)."""


class SeparationJSON(TypedDict):
    ngram: str
    chosen_weight: float
    runner_up_weight: float
    count: int
    contribution: float
    """What it adds to the chosen model's lead over the runner-up."""
    span: list[int]
    """``[start, end]`` in the lower-cased text."""
    match: str


class ChoiceReasonJSON(TypedDict):
    """A version-2 fitted router's reason for its choice; the keys are stable."""

    tier: str | None
    """The chosen model's catalogue tier."""
    rule: Literal["fitted models"]
    router: str
    chosen: str
    """The chosen model, by the router file's name for it."""
    catalogue_key: str | None
    runner_up: str | None
    """The model that came next (null when only one could be taken)."""
    tradeoff: float
    lead: float
    """The chosen model's objective less the runner-up's: the sum of ``intercepts_part``,
    ``counts_part``, every found n-gram's contribution and ``price_part``."""
    intercepts_part: float
    counts_part: float
    price_part: float
    words: int
    characters: int
    ngrams_found: int
    coverage: float | None
    models: list[ModelFiguresJSON]
    separating: list[SeparationJSON]


def choice_json(explanation: ChoiceExplanation, keys: Mapping[str, str], tier: str | None) -> ChoiceReasonJSON:
    """The JSON of a choice; ``keys`` maps the router's models to catalogue keys."""
    e = explanation
    return {
        "tier": tier, "rule": "fitted models", "router": e.router, "chosen": e.chosen,
        "catalogue_key": keys.get(e.chosen), "runner_up": e.runner_up, "tradeoff": e.tradeoff, "lead": e.lead,
        "intercepts_part": e.intercepts_part, "counts_part": e.counts_part, "price_part": e.price_part,
        "words": e.words, "characters": e.characters, "ngrams_found": e.found, "coverage": e.coverage,
        "models": [{"model": f.model, "catalogue_key": keys.get(f.model), "result": f.result, "price": f.price,
                    "objective": f.objective, "usable": f.usable} for f in e.models],
        "separating": [{"ngram": s.ngram, "chosen_weight": s.chosen_weight, "runner_up_weight": s.runner_up_weight,
                        "count": s.count, "contribution": s.contribution, "span": list(s.span), "match": s.match}
                       for s in e.separating],
    }


def describe_choice(explanation: ChoiceExplanation, keys: Mapping[str, str]) -> list[str]:
    """The reason as labelled lines, each model on a line of its own."""
    e = explanation
    escape = output.escape

    def named(model: str) -> str:
        key = keys.get(model)
        return escape(model) + (f" ({escape(key)})" if key is not None and key != model else "")

    ahead = (f", ahead of {named(e.runner_up)} by {e.lead:.4f}" if e.runner_up is not None
             else ", the only model it could take")
    lines = [f"rule:         fitted router {escape(e.router)}: chose {named(e.chosen)} at trade-off "
             f"{e.tradeoff:g}{ahead}"]
    for f in e.models:
        state = "" if f.usable else ", passed over"
        lines.append(f"model:        {named(f.model)}: result {f.result:.4f}, price {f.price:.6g}, "
                     f"objective {f.objective:.4f}{state}")
    if e.runner_up is not None:
        lines.append(f"lead:         {e.lead:+.4f} = intercepts {e.intercepts_part:+.4f}, counts {e.counts_part:+.4f}, "
                     f"n-grams {e.lead - e.intercepts_part - e.counts_part - e.price_part:+.4f}, "
                     f"price {e.price_part:+.4f}")
    lines.append(f"counted:      {e.words} word{'s' if e.words != 1 else ''}, {e.characters} "
                 f"character{'s' if e.characters != 1 else ''}; {e.found} of the router's n-grams found")
    lines.append(f"coverage:     {'-' if e.coverage is None else f'{e.coverage:.2f}'} of the text's n-gram places "
                 f"hold one of the router's n-grams")
    for s in e.separating:
        lines.append(f"n-gram:       {s.contribution:+.4f}  {escape(repr(s.ngram))} ({escape(e.chosen)} "
                     f"{s.chosen_weight:+.4f}, {escape(e.runner_up or e.chosen)} {s.runner_up_weight:+.4f}, "
                     f"{s.count}x) matched {escape(repr(s.match))} at {s.span[0]}-{s.span[1]}")
    return lines


def catalogue_tier(key: str) -> str:
    """The tier of the catalogue's model under ``key``, as text."""
    tier = mr.AVAILABLE_MODELS[key].complexity_tier
    return tier.value if isinstance(tier, mr.Complexity) else str(tier)


def _mapped(fitted: FittedRouter, keys: Mapping[str, str]) -> list[str]:
    return [model for model in fitted.models if model in keys]


def choose(fitted: FittedRouter, text: str) -> tuple[str, str]:
    """The router's choice among the models its file maps to catalogue keys (as the application
    makes it when all of them are usable), and that model's catalogue tier."""
    keys = fitted.catalogue_keys()
    chosen = fitted.choose(text, _mapped(fitted, keys))
    return chosen, catalogue_tier(keys[chosen])


def explain_choice(fitted: FittedRouter, text: str) -> tuple[ChoiceExplanation, dict[str, str]]:
    """:func:`choose`, explained, with the file's catalogue keys."""
    keys = fitted.catalogue_keys()
    explained = explain_score(fitted, text, usable=_mapped(fitted, keys))
    assert isinstance(explained, ChoiceExplanation)
    return explained, keys
