"""``--router`` for the commands that tier descriptions (``route``, ``classify``, ``eval``):
a fitted router file from ``halvec fit`` takes the place of the default rules. Here: what a
``--router`` value means in every command (``bench`` too), the option, loading the file (a
mistake in it is one line naming the file), and the fitted router's reason as text lines and
as JSON."""

from __future__ import annotations

import argparse
from functools import partial
from operator import itemgetter
from typing import TypedDict

from typing import Any, TypeVar

from halvec.cli import output
from halvec.cli.options import InputError, UsageError
from halvec.core import model_router as mr
from halvec.evaluation import Tiering
from halvec.fitted import FittedModelRouter, FittedRouter, RouterFileError, ScoreExplanation, load_router
from halvec.fitted.coverage import CoverageTally
from halvec.quality.routers import BUILT_IN

__all__ = ["ContributionJSON", "ScoreReasonJSON", "add_router_option", "describe_score", "eval_choosing",
           "eval_tiering", "fitted_from_args", "read_router", "score_json", "tiering_router"]


_Router = TypeVar("_Router")


class ContributionJSON(TypedDict):
    ngram: str
    weight: float
    count: int
    contribution: float
    span: list[int]
    """``[start, end]`` in the lower-cased text."""
    match: str


class ScoreReasonJSON(TypedDict):
    """A fitted router's reason for a tier; the keys are stable."""

    tier: str
    rule: str
    """Always ``"fitted"``: the fitted router's score decided."""
    router: str
    score: float
    cuts: dict[str, float]
    """``{"moderate": ..., "complex": ...}``: the lowest score of each tier."""
    intercept: float
    words: int
    characters: int
    counts_part: float
    ngrams_found: int
    coverage: float | None
    """The share of the text's n-gram places that hold one of the router's n-grams; null for
    a text with no token."""
    contributions: list[ContributionJSON]


def read_router(value: str, *, compared: bool) -> str | None:
    """What a ``--router`` value names, the same in every command: ``rules``, the default rules;
    ``words``, the word count; anything else a router file from ``halvec fit`` (a file named
    rules or words is given as ``./rules``). Where routers are ``compared`` (``bench``) the
    value as given; where one router tiers the descriptions, None for ``rules`` (the same as no
    ``--router``) and the file's path, ``words`` refused (it has no tiers). argparse's ``type``
    for the option."""
    if value not in BUILT_IN or compared:
        return value
    if value == "words":
        raise argparse.ArgumentTypeError(
            "words, the word count, ranks descriptions but has no tiers to sort them into: give rules or a "
            "router file from halvec fit (halvec bench compares words with them; ./words for a file of that name)")
    return None


def add_router_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--router", metavar="rules|FILE", type=partial(read_router, compared=False),
                        help="tier descriptions with a fitted router (a file from halvec fit; ./rules for a file "
                             "named rules) instead of the default rules (rules, as without --router)")


def fitted_from_args(args: argparse.Namespace, *, models: bool = False) -> FittedRouter | None:
    """The router ``--router`` names, loaded; None without the option. A version-2 router
    where the command chooses among ``models``, with its ``catalogue`` checked against the
    catalogue in force; else one line naming the file."""
    path: str | None = getattr(args, "router", None)
    if path is None:
        return None
    try:
        router = load_router(path)
    except OSError as error:
        raise UsageError(f"cannot read --router {path!r}: {error.strerror or error}") from None
    except RouterFileError as error:
        raise InputError(f"--router {error}") from None
    if router.version == 1 or not models:
        return tiering_router(router, path)
    try:
        keys = router.catalogue_keys()
    except RouterFileError as error:
        raise InputError(f"--router {error}") from None
    if not keys:
        raise InputError(f"--router {path!r}: its \"catalogue\" maps none of its models "
                         f"({', '.join(router.models)}) to a catalogue key, so it can choose no model the router "
                         f"knows: map them (see docs/fitted_routers.md)")
    return router


def tiering_router(router: _Router, path: str) -> _Router:
    """``router``, read from ``path``, where it tiers descriptions (version 1); one line naming
    the file for a version-2 router, which chooses among models instead."""
    version = getattr(router, "version", 1)
    if version != 1:
        raise InputError(f"--router {path!r}: a router of version {version}, which chooses among "
                         f"{len(getattr(router, 'models', ()))} models; this command reads a version-1 router "
                         f"file (one that tiers descriptions)")
    return router


def score_json(explanation: ScoreExplanation) -> ScoreReasonJSON:
    e = explanation
    return {
        "tier": e.tier.value, "rule": "fitted", "router": e.router, "score": e.score,
        "cuts": {"moderate": e.cuts[0], "complex": e.cuts[1]}, "intercept": e.intercept, "words": e.words,
        "characters": e.characters, "counts_part": e.counts_part, "ngrams_found": e.found, "coverage": e.coverage,
        "contributions": [{"ngram": c.ngram, "weight": c.weight, "count": c.count, "contribution": c.contribution,
                           "span": list(c.span), "match": c.match} for c in e.contributions],
    }


def describe_score(explanation: ScoreExplanation) -> list[str]:
    """The reason as labelled lines, as ``classify --explain`` and ``route --explain`` show it."""
    e = explanation
    escape = output.escape
    above = ("at or above the complex cut" if e.score >= e.cuts[1]
             else "at or above the moderate cut" if e.score >= e.cuts[0] else "below the moderate cut")
    lines = [f"rule:         fitted router {escape(e.router)}: score {e.score:.4f}, {above} "
             f"(moderate from {e.cuts[0]:.4f}, complex from {e.cuts[1]:.4f})",
             f"counted:      {e.words} word{'s' if e.words != 1 else ''}, {e.characters} "
             f"character{'s' if e.characters != 1 else ''} (adding {e.counts_part:+.4f}); "
             f"{e.found} of the router's n-grams found; intercept {e.intercept:.4f}",
             f"coverage:     {'-' if e.coverage is None else f'{e.coverage:.2f}'} of the text's n-gram places hold "
             f"one of the router's n-grams"]
    for c in e.contributions:
        lines.append(f"n-gram:       {c.contribution:+.4f}  {escape(repr(c.ngram))} (weight {c.weight:+.4f}, "
                     f"{c.count}x) matched {escape(repr(c.match))} at {c.span[0]}-{c.span[1]}")
    return lines


def eval_tiering(fitted: FittedRouter) -> tuple[Tiering, CoverageTally]:
    """``eval``'s tiering by a fitted router: its tiers a batch at a time (natively scored),
    each with the rule ``"fitted"``, and a FittedModelRouter to route them; with the tally
    of the tasks' coverage, read in the same pass, which the batch's lines carry too."""
    tally = CoverageTally()
    last: list[list[float | None]] = [[]]

    def explain_batch(prompts: list[str], /) -> tuple[list[Any], list[Any]]:
        scores, coverage = fitted.score_and_coverage(prompts)
        tally.add(coverage)
        last[0] = coverage
        tiers = list(map(fitted.tier_of, scores))
        return [(tier, "fitted", None, None) for tier in tiers], [None] * len(tiers)

    def router(config: mr.ModelRoutingConfig, secrets: Any) -> mr.ModelRouter:
        return FittedModelRouter(fitted, config, secrets)

    return Tiering(explain_batch, router, lambda: last[0]), tally


def eval_choosing(fitted: FittedRouter) -> tuple[Tiering, CoverageTally]:
    """``eval``'s routing by a router of many models (version 2). The preferences and keys are
    fixed for a run, so the models usable under them are found once, as the run makes its
    FittedModelRouter; each task's choice among them is then made natively a batch at a time
    (with the coverage, and no Python work a task), and its facts are the chosen model's
    catalogue tier, the rule ``"fitted"`` and the model's index (see
    :class:`halvec.evaluation.Tiering`), which with the request decides the task's route. With
    none usable, every task's facts are those of the router's fallback."""
    tally = CoverageTally()
    last: list[list[float | None]] = [[]]
    keys = fitted.catalogue_keys()
    index = {model: m for m, model in enumerate(fitted.models)}
    usable: list[list[str]] = []  # the usable models, once the run's router is made
    facts: dict[str | None, Any] = {}  # by chosen model (None: none usable)

    def router(config: mr.ModelRoutingConfig, secrets: Any) -> mr.ModelRouter:
        made = FittedModelRouter(fitted, config, secrets)
        models = [model for model in fitted.models if model in keys
                  and made._is_available(mr.AVAILABLE_MODELS[keys[model]])]
        usable[:] = [models]
        for model in models:
            facts[model] = (mr.AVAILABLE_MODELS[keys[model]].complexity_tier, "fitted", None, index[model])
        facts[None] = (made._get_fallback().complexity_tier, "fitted", None, None)
        return made

    def explain_batch(prompts: list[str], /) -> tuple[list[Any], list[Any]]:
        if not usable:
            raise RuntimeError("the run's router is made before its first batch is explained")
        chosen: list[str | None]
        if usable[0]:
            models, coverage = fitted.choose_batch_and_coverage(prompts, usable[0])
            chosen = list(models)
        else:
            chosen, coverage = [None] * len(prompts), fitted.coverage(prompts)
        tally.add(coverage)
        last[0] = coverage
        return list(map(facts.__getitem__, chosen)), [None] * len(prompts)

    return Tiering(explain_batch, router, lambda: last[0], itemgetter(3)), tally
