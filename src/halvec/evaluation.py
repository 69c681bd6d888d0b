"""A whole workload routed: each task's tier, deciding rule and pattern as the module's own
classifier finds them, its model as a real ``ModelRouter`` chooses it, and the totals:
tasks per tier, model, deciding rule and pattern, the stages that decided, and the
workload's cost as routed, with each catalogue model alone, and against a baseline.

Each task is classified as ``explain_complexity`` classifies it (a batch at a time, by the
package's native batch explainer), which gives the tier ``classify_complexity`` gives (it
reads the same lists) and what decided it. The model is
the router's: with the preferences and the keys fixed for the run, a selection depends on
the task only through its tier (and the model it requests), so each (requested model, tier)
pair is put to the router once, through :func:`halvec.explain.explain_selection`, with the
first task that has it, and its answer stands for every task with that pair.

A comparison (:func:`compare`) classifies every task twice, with the lists in force and with
another pair, and reports what changes. Cost comes from prices per 1,000 input and output
tokens (the catalogue's, or the user's: :class:`Prices`) and each task's token counts: its
own, else the run's flat counts, else an estimate (:func:`estimate_input_tokens` for the
input, :data:`ESTIMATED_OUTPUT_TOKENS` for the output), which is counted and marked.

The per-task work is done a batch at a time, with the interpreter's own loops (``map``,
``Counter``) wherever the task's record allows.
"""

from __future__ import annotations

import json
import json.encoder
import logging
import collections
import math
import os
import re
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass, replace
from itertools import compress, repeat
from operator import attrgetter, eq, is_, itemgetter, or_
from typing import IO, Any, Final, Literal, Protocol

from halvec import _patterns, _workload
from halvec.core import model_router as mr
from halvec.explain import ComplexityExplanation, DecidedBy, Rule, explain_selection
from halvec.pattern_lists import LIST_NAMES, ListName, PatternLists, applied, in_force
from halvec.workload import KEPT_BAD_LINES, KEPT_MODEL_NAMES, BadLine, Batch, TaskReader

__all__ = ["CHANGES_KEPT", "COST_DIGITS", "DECIDED_BY", "ESTIMATED_OUTPUT_TOKENS", "RULES", "TIERS", "BatchExplainer",
           "Change", "Comparison", "Cost", "CostOverflow", "Explainer", "Part", "Prices", "ProviderKeys", "batch_of",
           "Outcome", "PatternCount", "Reading", "Report", "RouterFactory", "Settings", "Summary",
           "TaskRule", "Tiering", "change_json", "combine", "compare", "estimate_input_tokens", "evaluate",
           "evaluate_part", "mostly_unspaced", "new_explainer", "outcome_json", "rounded_cost", "task_cost",
           "write_all"]

TIERS: Final[tuple[str, str, str]] = ("simple", "moderate", "complex")
TaskRule = Rule | Literal["fitted"]
"""What decided a task's tier: a rule of the module's classifier, or a fitted router's score."""
RULES: Final[tuple[TaskRule, ...]] = ("length", "complex_pattern", "simple_pattern", "counts", "fitted")
DECIDED_BY: Final[tuple[DecidedBy, ...]] = ("explicit", "default", "auto", "fallback", "last_resort")
CHANGES_KEPT: Final = 20
"""How many changed tasks a comparison keeps for its report (all go to its ``out``)."""
COST_DIGITS: Final = 12
"""The significant digits a cost is given to (see :func:`rounded_cost`)."""
ESTIMATED_OUTPUT_TOKENS: Final = 500
"""The output count of a task that has none of its own, when the run gives no flat count:
a description says little about the length of its answer, so one stated figure stands for
all, a few paragraphs' worth."""

_AUTO = (None, "", "auto")


class Explainer(Protocol):
    def __call__(self, prompt: str, tool_count: int = 0) -> ComplexityExplanation: ...


_Span = tuple[int, int] | None
_Facts = tuple[mr.Complexity, TaskRule, ListName | None, int | None]


class BatchExplainer(Protocol):
    """Explains a batch of descriptions for a tally: for each, what ``explain_complexity``
    says of it as (tier, rule, pattern_list, pattern_index), and its span."""

    def __call__(self, prompts: list[str], /) -> tuple[list[_Facts], list[_Span]]: ...


class RouterFactory(Protocol):
    def __call__(self, config: mr.ModelRoutingConfig, secrets: Any) -> mr.ModelRouter: ...


@dataclass(frozen=True)
class Tiering:
    """Tiers that come from elsewhere than the module's classifier (a fitted router): a batch
    explainer that gives each description's facts (rule ``"fitted"``), and the router that
    tiers descriptions the same way. ``coverage``, when given, is each description's coverage
    in the batch ``explain`` was last given (:mod:`halvec.fitted.coverage`): the per-task
    lines carry it."""

    explain: BatchExplainer
    router: RouterFactory
    coverage: Callable[[], list[float | None]] | None = None


def new_explainer() -> BatchExplainer:
    """The native batch explainer, with caches of its own: two of them, each kept to its own
    pair of lists, never make each other rebuild."""
    made: BatchExplainer = _patterns.make_batch_explainer()
    return made


def batch_of(explain: Explainer) -> BatchExplainer:
    """A batch explainer made of one that explains a description at a time."""

    def explain_batch(prompts: list[str], /) -> tuple[list[_Facts], list[_Span]]:
        explanations = list(map(explain, prompts))
        return list(map(_FACTS, explanations)), list(map(_SPAN, explanations))
    return explain_batch


def estimate_input_tokens(description: str) -> int:
    """The input tokens of a task that has no count of its own: its description's UTF-8
    bytes divided by 4, rounded up. About four characters make a token of English text;
    counting bytes rather than characters gives the scripts whose characters take two or
    three bytes (Cyrillic, Chinese, Japanese, Thai) the larger counts their tokenizers give
    them. (A chat record's estimate counts its whole conversation the same way:
    :func:`halvec.workload.conversation_tokens`.)"""
    size = len(description) if description.isascii() else len(description.encode("utf-8", "surrogatepass"))
    return (size + 3) // 4


def _estimates(descriptions: list[str]) -> list[int]:
    """:func:`estimate_input_tokens` of each description, natively, without encoding them."""
    estimates: list[int] = _workload.token_estimates(descriptions)
    return estimates


# Scripts written without spaces between words: Thai, Lao, Tibetan, Myanmar, Khmer, the
# Japanese kana, CJK ideographs, and the punctuation and full-width forms written with them.
_UNSPACED = re.compile("[\u0e00-\u0fff\u1000-\u109f\u1780-\u17ff\u3001-\u30ff\u3400-\u4dbf\u4e00-\u9fff"
                       "\uf900-\ufaff\uff00-\uffef\U00020000-\U0003134f]")


def mostly_unspaced(description: str) -> bool:
    """Whether more than half of the description's characters, white space aside, are of a
    script written without spaces between words. The classifier counts words by white
    space, so it sees such a text as a few long words. (A tally asks the native
    ``_workload.unspaced`` the same of a batch at a time.)"""
    if description.isascii():
        return False
    visible = sum(map(len, description.split()))
    return 2 * len(_UNSPACED.findall(description)) > visible


class CostOverflow(OverflowError):
    """A workload whose costs at its prices pass the largest number a float holds."""


@dataclass(frozen=True)
class Prices:
    """Prices per 1,000 input and output tokens, by model key, and where they come from."""

    per_1k: dict[str, tuple[float, float]]
    """(input, output) for every catalogue model."""
    source: str | None = None
    """The prices file as the user named it; None for the catalogue's own prices."""
    as_of: str | None = None
    """The date the file says its prices are of (ISO 8601), if it says."""

    @classmethod
    def catalogue(cls) -> Prices:
        """The catalogue's prices, as the module holds them now."""
        return cls({key: (spec.cost_per_1k_input, spec.cost_per_1k_output)
                    for key, spec in mr.AVAILABLE_MODELS.items()})


@dataclass(frozen=True)
class ProviderKeys:
    """A secrets store with an API key for exactly the providers it names, fixed for the run:
    an evaluation answers the same way on any machine, and in every process of a run."""

    providers: frozenset[str]

    def has_key(self, provider: str) -> bool:
        return provider in self.providers

    @classmethod
    def from_environment(cls, also: Iterable[str] = ()) -> ProviderKeys:
        """The providers named, and those whose ``<PROVIDER>_API_KEY`` the environment holds
        (as the host's secrets store reads it)."""
        found = {spec.provider for spec in mr.AVAILABLE_MODELS.values()
                 if os.environ.get(f"{spec.provider.upper()}_API_KEY")}
        return cls(frozenset(also) | frozenset(found))


@dataclass(frozen=True)
class Settings:
    """How the workload is routed and costed, and what its per-task lines carry."""

    config: mr.ModelRoutingConfig
    store: Any
    """The secrets store (anything with ``has_key(provider)``)."""
    scheduler: bool = False
    """Select as for scheduled jobs (``select_for_scheduler``) rather than workers."""
    model: str | None = None
    """The model requested for tasks that request none themselves."""
    input_tokens: int | None = None
    """Input tokens of a task whose record has no count of its own."""
    output_tokens: int | None = None
    baseline: str | None = None
    """The model to state the saving against; None: the one that costs the most alone."""
    prices: Prices | None = None
    """None: the catalogue's prices."""
    with_text: bool = False
    """Per-task lines carry the description."""


# --- results ----------------------------------------------------------------------------------

@dataclass(frozen=True)
class PatternCount:
    """An entry of a pattern list and the tasks it decided."""

    list: ListName
    index: int
    """Its place in the list, counting from 0."""
    pattern: str
    tasks: int


@dataclass(frozen=True)
class Cost:
    """What the workload costs, at the run's prices per 1,000 tokens; every amount rounded by
    :func:`rounded_cost`."""

    prices: Prices
    costed_tasks: int
    """Every task: a count a task lacks is the run's flat count or an estimate."""
    uncosted_tasks: int
    """0: kept for the callers that read it."""
    input_tokens: int
    output_tokens: int
    estimated_tasks: int
    """Tasks with a count estimated (either)."""
    estimated_input_tasks: int
    """Tasks whose input count was estimated from the description."""
    estimated_output_tasks: int
    """Tasks that were given :attr:`output_tokens_each` output tokens."""
    output_tokens_each: int
    """The output count of a task without one: the run's flat count, else the estimate."""
    routed: float
    """The cost with each task on the model it was routed to."""
    alone: dict[str, float]
    """The cost with every task on one model, for each catalogue model."""
    ranking: tuple[tuple[str, float], ...]
    """``("routed", cost)`` and each model alone, cheapest first (routing first among equals)."""
    cheaper_alone: tuple[str, ...]
    """The models that alone cost less than the routing, cheapest first."""
    baseline: str
    baseline_basis: Literal["given", "most_expensive"]
    baseline_cost: float
    saving: float
    """``baseline_cost - routed``."""
    saving_share: float | None
    """The saving as a share of the baseline's cost (None when that is 0)."""


@dataclass(frozen=True)
class Summary:
    """The totals of one routing of the workload."""

    tasks: int
    tiers: dict[str, int]
    """Tasks per tier, in the order simple, moderate, complex."""
    models: dict[str, int]
    """Tasks per chosen model, every catalogue model in catalogue order."""
    decided_by: dict[DecidedBy, int]
    requests_not_honoured: int
    """Tasks that asked for a model and got another (it was not usable)."""
    rules: dict[TaskRule, int]
    patterns: tuple[PatternCount, ...]
    """Every entry of both lists, in order, with the tasks it decided."""
    cost: Cost | None
    """None when there are no tasks."""
    unspaced: dict[str, int]
    """Tasks written mostly in a script without spaces (:func:`mostly_unspaced`), by tier."""

    @property
    def never_decided(self) -> tuple[PatternCount, ...]:
        return tuple(p for p in self.patterns if not p.tasks)

    @property
    def counts_share(self) -> float | None:
        """The share of tasks decided by the word and tool counts alone (no pattern, not short)."""
        return self.rules["counts"] / self.tasks if self.tasks else None


@dataclass(frozen=True)
class Reading:
    """How the input was read."""

    source: str
    """The source as the user named it: a path, or ``-`` for standard input."""
    format: str
    field: str
    blank_lines: int
    bad_lines: int
    first_bad_lines: tuple[BadLine, ...]
    replaced_lines: int
    first_replaced_line: int | None
    chat_tasks: int = 0
    """Tasks whose description is a chat record's last user message rather than ``field``."""
    outside_catalogue: tuple[tuple[str, int], ...] = ()
    """Model names outside the catalogue that tasks gave (routed as tasks that request none),
    with their tasks, most frequent first (:data:`halvec.workload.KEPT_MODEL_NAMES` at most)."""
    outside_catalogue_tasks: int = 0
    """All the tasks that gave such a name."""


@dataclass(frozen=True)
class Report:
    """One evaluation: how the input was read and the totals."""

    reading: Reading
    summary: Summary


@dataclass(frozen=True)
class Part:
    """The counts of one part of a workload, before they make a summary: plain data, to be
    sent from the process that evaluated the part and combined with the other parts'
    (:func:`combine`)."""

    reading: Reading
    counts: dict[str | None, dict[_Facts, int]]
    """Tasks by requested model, then by (tier, rule, pattern_list, pattern_index)."""
    tokens: dict[tuple[str | None, str], list[int]]
    """By (requested model, tier): [input tokens, output tokens, tasks with a count
    estimated, with the input estimated, with the output estimated]."""
    routes: dict[tuple[str | None, str], tuple[str, DecidedBy]]
    """The router's choice, (model, decided_by), for each (requested model, tier) met."""
    unspaced: dict[str, int]
    """Tasks written mostly in a script without spaces, by tier."""


@dataclass(frozen=True)
class Outcome:
    """What became of one task on one side of a comparison."""

    tier: str
    model: str
    decided_by: DecidedBy
    rule: TaskRule
    pattern_list: ListName | None
    pattern_index: int | None
    span: tuple[int, int] | None
    cost: float | None
    coverage: float | None = None
    """The task's coverage, on the side a fitted router tiered (else None, and not in JSON)."""


@dataclass(frozen=True)
class Change:
    """A task whose tier the other lists change."""

    line: int
    id: Any
    description: str
    input_tokens: int
    output_tokens: int
    estimated: bool
    before: Outcome
    after: Outcome


@dataclass(frozen=True)
class Comparison:
    """The workload routed with the lists in force (before) and with other lists (after)."""

    reading: Reading
    before: Summary
    after: Summary
    transitions: dict[str, dict[str, int]]
    """Tasks by tier before, then by tier after."""
    changed: int
    """Tasks whose tier changed."""
    changes: tuple[Change, ...]
    """The first :data:`CHANGES_KEPT` of them."""


def task_cost(model: str, input_tokens: int, output_tokens: int, prices: Prices | None = None) -> float:
    """One task's cost on ``model`` at ``prices`` (default: the catalogue's), rounded as
    :func:`rounded_cost` rounds it."""
    price_in, price_out = (prices or Prices.catalogue()).per_1k[model]
    return rounded_cost((input_tokens * price_in + output_tokens * price_out) / 1000)


def rounded_cost(amount: float) -> float:
    """``amount`` to :data:`COST_DIGITS` significant digits: the products and sums of prices
    leave noise in the last of a float's 17 (0.037634999999999995 for 0.037635), which no
    price has. Scaled by an exact power of ten to a whole number of that many digits, rounded
    to even and scaled back, which gives the float nearest the rounded decimal; outside the
    exact powers' range, through the decimal digits. (The native writer of the per-task lines
    does the same operations, in the same order: both give the same float.)"""
    if not math.isfinite(amount) or amount == 0:
        return amount
    shift = COST_DIGITS - 1 - math.floor(math.log10(abs(amount)))
    if 0 <= shift < len(_POWERS_OF_TEN):
        return round(amount * _POWERS_OF_TEN[shift]) / _POWERS_OF_TEN[shift]
    if 0 < -shift < len(_POWERS_OF_TEN):
        return round(amount / _POWERS_OF_TEN[-shift]) * _POWERS_OF_TEN[-shift]
    return float(f"{amount:.{COST_DIGITS}g}")


_POWERS_OF_TEN: Final = tuple(float(10**n) for n in range(23))
"""The powers of ten a float holds exactly."""


# --- routing ----------------------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class _Route:
    key: str
    decided_by: DecidedBy


class _Routes:
    """The router's choice for each (requested model, tier), asked once."""

    def __init__(self, settings: Settings, factory: RouterFactory) -> None:
        self._router = factory(settings.config, settings.store)
        self._scheduler = settings.scheduler
        self.known: dict[tuple[str | None, str], _Route] = {}

    def add(self, requested: str | None, tier: str, description: str) -> None:
        selection = explain_selection(self._router, description, requested, scheduler=self._scheduler)
        if selection.tier is not None and selection.tier != tier:
            raise RuntimeError(f"the router classified a {tier} task as {selection.tier.value}")
        if selection.key is None:
            raise RuntimeError(f"the router chose a model outside the catalogue: {selection.spec!r}")
        self.known[(requested, tier)] = _Route(selection.key, selection.decided_by)

    def learn(self, known: dict[tuple[str | None, str], tuple[str, DecidedBy]]) -> None:
        """Takes the choices another router with the same preferences and keys made."""
        for pair, (key, decided_by) in known.items():
            self.known.setdefault(pair, _Route(key, decided_by))


@contextmanager
def _router_log_silenced() -> Iterator[None]:
    """The router logs every worker choice; a workload's thousands of them are not wanted."""
    logger = logging.getLogger("halvec.model_router")
    disabled = logger.disabled
    logger.disabled = True
    try:
        yield
    finally:
        logger.disabled = disabled


# --- one side: a tally of a workload ----------------------------------------------------------

_FACTS = attrgetter("tier", "rule", "pattern_list", "pattern_index")
_FACT_TIER = itemgetter(0)


def _count_in_python(counts: dict[Any, int], items: Iterable[Any]) -> None:
    for item in items:
        counts[item] = counts.get(item, 0) + 1


# Counter's own counting loop (in C in CPython): counts[item] += 1 for each item
_count_elements: Callable[[dict[Any, int], Iterable[Any]], None] = getattr(
    collections, "_count_elements", _count_in_python)

_SPAN = attrgetter("span")


@dataclass(slots=True)
class _Tokens:
    """A batch's token counts, every task's resolved: its own, else the run's flat count,
    else the estimate; with which were estimated."""

    ins: list[int] | None
    """Each task's input count; None when every task has ``in_each``."""
    in_each: int | None
    outs: list[int] | None
    out_each: int
    estimated_in: bool | list[bool]
    """Whether the input counts were estimated: for every task (a bool), or each task's."""
    estimated_out: bool | list[bool]

    @property
    def estimated(self) -> bool | list[bool]:
        a, b = self.estimated_in, self.estimated_out
        if a is True or b is True:
            return True
        if a is False:
            return b
        if b is False:
            return a
        return list(map(or_, a, b))

    def of(self, i: int) -> tuple[int, int, bool]:
        """Task ``i``'s (input, output, estimated)."""
        i_count = self.ins[i] if self.ins is not None else self.in_each
        assert i_count is not None
        estimated = self.estimated
        return (i_count, self.outs[i] if self.outs is not None else self.out_each,
                estimated if isinstance(estimated, bool) else estimated[i])


def _input_estimates(batch: Batch) -> list[int]:
    """Each task's input estimate: a chat record's from its whole conversation, any other's
    from its description."""
    estimates = _estimates(batch.descriptions)
    if batch.input_estimates is not None:
        estimates = [d if c is None else c for d, c in zip(estimates, batch.input_estimates)]
    return estimates


def _batch_tokens(batch: Batch, settings: Settings) -> _Tokens:
    flat_in, flat_out = settings.input_tokens, settings.output_tokens
    own_in, own_out = batch.input_tokens, batch.output_tokens
    ins: list[int] | None
    estimated_in: bool | list[bool]
    if own_in is None:
        ins, estimated_in = (None, False) if flat_in is not None else (_input_estimates(batch), True)
    elif None not in own_in:
        ins, estimated_in = own_in, False  # type: ignore[assignment]
    elif flat_in is not None:
        ins, estimated_in = [flat_in if n is None else n for n in own_in], False
    else:
        estimated_in = [n is None for n in own_in]
        ins = [e if n is None else n for n, e in zip(own_in, _input_estimates(batch))]
    out_each = flat_out if flat_out is not None else ESTIMATED_OUTPUT_TOKENS
    outs: list[int] | None
    estimated_out: bool | list[bool]
    if own_out is None:
        outs, estimated_out = None, flat_out is None
    elif None not in own_out:
        outs, estimated_out = own_out, False  # type: ignore[assignment]
    else:
        outs = [out_each if n is None else n for n in own_out]
        estimated_out = False if flat_out is not None else [n is None for n in own_out]
    return _Tokens(ins, flat_in, outs, out_each, estimated_in, estimated_out)


class _Tally:
    """Totals of tasks routed with one pair of lists."""

    def __init__(self, settings: Settings, routes: _Routes, explain: BatchExplainer, lists: PatternLists) -> None:
        self._settings = settings
        self._routes = routes
        self._explain = explain
        self._lists = lists
        self._default = settings.model
        self._prices = (settings.prices or Prices.catalogue())
        # tasks by requested model and facts: {requested: {facts: count}}
        self._counts: dict[str | None, dict[_Facts, int]] = {}
        # by (requested, tier): [input, output, estimated, estimated input, estimated output]
        self._tokens: dict[tuple[str | None, str], list[int]] = {}
        # tasks written mostly without spaces, by tier
        self._unspaced: dict[Any, int] = {}
        # what a task's line takes from its request and facts (see json_lines), by request
        # then facts, and by (request, facts)
        self._line_routes: dict[str | None, dict[_Facts, tuple[str, float, float]]] = {}
        self._pair_routes: dict[tuple[str | None, _Facts], tuple[str, float, float]] = {}

    def add(self, batch: Batch, tokens: _Tokens | None = None
            ) -> tuple[list[_Facts], list[_Span], list[str | None], _Tokens]:
        """Classifies and counts a batch; returns each task's facts, span and request, and
        the batch's token counts (``tokens``, when given, are they)."""
        facts, spans = self._explain(batch.descriptions)
        requested: list[str | None]
        tiers = list(map(_FACT_TIER, facts))
        if batch.models is None:
            requested = [self._default] * len(facts)
            counts = self._counts.setdefault(self._default, {})
            _count_elements(counts, facts)
            keys: list[Any] = tiers
            same: Callable[[Any, Any], bool] = is_
            pairs = {tier: (self._default, tier) for tier in set(tiers)}
        else:
            default = self._default
            requested = [default if m is None else m for m in batch.models]
            for request in set(requested):
                self._counts.setdefault(request, {})
            pair_counts: dict[tuple[str | None, _Facts], int] = {}
            _count_elements(pair_counts, zip(requested, facts))
            for (request, fact), n in pair_counts.items():
                counts = self._counts[request]
                counts[fact] = counts.get(fact, 0) + n
            keys = list(zip(requested, tiers))
            same = eq
            pairs = {pair: pair for pair in set(keys)}
        for pair in pairs.values() - self._routes.known.keys():
            request, tier = pair
            index = next(i for i, (r, t) in enumerate(zip(requested, tiers)) if r == request and t == tier)
            self._routes.add(request, tier, batch.descriptions[index])
        if tokens is None:
            tokens = _batch_tokens(batch, self._settings)
        self._add_tokens(tokens, keys, same, pairs)
        for i in _workload.unspaced(batch.descriptions):
            tier = tiers[i]
            self._unspaced[tier] = self._unspaced.get(tier, 0) + 1
        return facts, spans, requested, tokens

    def _add_tokens(self, tokens: _Tokens, keys: list[Any], same: Callable[[Any, Any], bool],
                    pairs: dict[Any, tuple[str | None, Any]]) -> None:
        """Sums the batch's counts by (request, tier): natively, in one pass, when the keys
        are the tiers themselves (one request for the batch); else a pair at a time."""
        in_each = tokens.in_each if tokens.in_each is not None else 0
        # each quantity: a column to sum, or what every task adds
        quantities: list[list[int] | list[bool] | int | bool] = [
            tokens.ins if tokens.ins is not None else in_each,
            tokens.outs if tokens.outs is not None else tokens.out_each,
            tokens.estimated, tokens.estimated_in, tokens.estimated_out]
        columns = tuple(q for q in quantities if isinstance(q, list))
        grouped = _workload.group_sums(keys, columns) if same is is_ else None
        if grouped is None:
            every = len(pairs) == 1
            grouped = []
            for key in pairs:
                chosen = None if every else list(map(same, keys, repeat(key)))
                n = len(keys) if chosen is None else sum(chosen)
                grouped.append((key, n, [sum(c) if chosen is None else sum(compress(c, chosen)) for c in columns]))
        for key, n, sums in grouped:
            column_sums = iter(sums)
            acc = self._tokens.setdefault(pairs[key], [0, 0, 0, 0, 0])
            for i, quantity in enumerate(quantities):
                acc[i] += next(column_sums) if isinstance(quantity, list) else n * int(quantity)

    # --- per task ---

    def outcome(self, fact: _Facts, span: _Span, request: str | None, input_tokens: int,
                output_tokens: int) -> Outcome:
        tier, rule, pattern_list, pattern_index = fact
        route = self._routes.known[(request, tier)]
        return Outcome(tier=tier.value, model=route.key, decided_by=route.decided_by, rule=rule,
                       pattern_list=pattern_list, pattern_index=pattern_index, span=span,
                       cost=task_cost(route.key, input_tokens, output_tokens, self._prices))

    def json_lines(self, batch: Batch, facts: list[_Facts], span_list: list[_Span],
                   requested: list[str | None], tokens: _Tokens) -> bytes:
        """One JSON line per task of the batch, as UTF-8: line, id, (description,) token
        counts, tier, model, decided_by, rule, pattern, span, cost. What depends only on the
        request and the facts (the members from tier to pattern, the model's prices) is made
        once for each pair met; the native writer does the rest, costs included."""
        if batch.models is None:  # one request for the whole batch: the facts alone are the key
            routes = self._line_routes.setdefault(self._default, {})
            for fact in set(facts) - routes.keys():
                routes[fact] = self._line_route(self._default, fact)
            line_routes = list(map(routes.__getitem__, facts))
        else:
            keys = list(zip(requested, facts))
            by_pair = self._pair_routes
            for key in set(keys) - by_pair.keys():
                by_pair[key] = self._line_route(*key)
            line_routes = list(map(by_pair.__getitem__, keys))
        return _workload.task_lines(batch.lines, batch.ids, batch.descriptions if self._settings.with_text else None,
                                    line_routes, span_list,
                                    (tokens.ins, tokens.outs, tokens.in_each, tokens.out_each, tokens.estimated),
                                    _json_value)

    def _line_route(self, request: str | None, fact: _Facts) -> tuple[str, float, float]:
        """The members from "tier" to "pattern" of a line, and the prices of its model."""
        tier, rule, pattern_list, pattern_index = fact
        route = self._routes.known[(request, tier)]
        price_in, price_out = self._prices.per_1k[route.key]
        pattern = ("null" if pattern_list is None
                   else f'{{"list":"{pattern_list}","index":{pattern_index}}}')
        head = (f'"tier":"{tier.value}","model":{_json_value(route.key)},"decided_by":"{route.decided_by}",'
                f'"rule":"{rule}","pattern":{pattern}')
        return head, price_in, price_out

    # --- totals ---

    def part(self, reading: Reading) -> Part:
        return Part(reading=reading, counts=self._counts, tokens=self._tokens,
                    routes={pair: (route.key, route.decided_by) for pair, route in self._routes.known.items()},
                    unspaced=self._unspaced)

    def absorb(self, part: Part) -> None:
        """Adds the counts of a part evaluated with the same settings and lists."""
        self._routes.learn(part.routes)
        for request, counts in part.counts.items():
            mine = self._counts.setdefault(request, {})
            for fact, n in counts.items():
                mine[fact] = mine.get(fact, 0) + n
        for pair, sums in part.tokens.items():
            acc = self._tokens.setdefault(pair, [0, 0, 0, 0, 0])
            for i, value in enumerate(sums):
                acc[i] += value
        for tier, n in part.unspaced.items():
            self._unspaced[tier] = self._unspaced.get(tier, 0) + n

    def summary(self) -> Summary:
        routes = self._routes.known
        tiers = dict.fromkeys(TIERS, 0)
        models = dict.fromkeys(mr.AVAILABLE_MODELS, 0)
        decided_by: dict[DecidedBy, int] = dict.fromkeys(DECIDED_BY, 0)
        rules: dict[TaskRule, int] = dict.fromkeys(RULES, 0)
        by_pattern: dict[tuple[str, int], int] = {}
        by_pair: dict[tuple[str | None, str], int] = {}
        not_honoured = 0
        tasks = 0
        for request, counts in self._counts.items():
            for (tier, rule, pattern_list, pattern_index), n in counts.items():
                tasks += n
                tiers[tier.value] += n
                rules[rule] += n
                if pattern_list is not None and pattern_index is not None:
                    where = (pattern_list, pattern_index)
                    by_pattern[where] = by_pattern.get(where, 0) + n
                by_pair[(request, tier)] = by_pair.get((request, tier), 0) + n
        for pair, n in by_pair.items():
            route = routes[pair]
            models[route.key] = models.get(route.key, 0) + n
            decided_by[route.decided_by] += n
            if pair[0] not in _AUTO and route.decided_by != "explicit":
                not_honoured += n
        patterns = tuple(PatternCount(name, index, pattern, by_pattern.get((name, index), 0))
                         for name in LIST_NAMES for index, pattern in enumerate(self._lists.get(name)))
        unspaced = dict.fromkeys(TIERS, 0)
        for tier, n in self._unspaced.items():
            unspaced[tier.value] += n
        return Summary(tasks=tasks, tiers=tiers, models=models, decided_by=decided_by,
                       requests_not_honoured=not_honoured, rules=rules, patterns=patterns,
                       cost=self._total_cost(by_pair), unspaced=unspaced)

    def _total_cost(self, by_pair: dict[tuple[str | None, str], int]) -> Cost | None:
        settings = self._settings
        routes = self._routes.known
        tasks = sum(by_pair.values())
        if not tasks:
            return None
        totals = [0, 0, 0, 0, 0]
        # token sums by chosen model
        sums = {key: [0, 0] for key in mr.AVAILABLE_MODELS}
        for pair in by_pair:
            counts = self._tokens.get(pair, (0, 0, 0, 0, 0))
            for i, value in enumerate(counts):
                totals[i] += value
            model = sums.setdefault(routes[pair].key, [0, 0])
            model[0] += counts[0]
            model[1] += counts[1]
        input_tokens, output_tokens = totals[0], totals[1]
        prices = self._prices.per_1k
        routed = rounded_cost(sum((i * prices[key][0] + o * prices[key][1]) / 1000
                                  for key, (i, o) in sums.items() if i or o))
        alone = {key: rounded_cost((input_tokens * price_in + output_tokens * price_out) / 1000)
                 for key, (price_in, price_out) in prices.items()}
        if not all(map(math.isfinite, (routed, *alone.values()))):
            raise CostOverflow("its tokens cost more at these prices than a float can hold (1.8e308): lower the "
                               "prices or the token counts")
        ranking = tuple(sorted([("routed", routed), *alone.items()], key=itemgetter(1)))
        basis: Literal["given", "most_expensive"] = "given" if settings.baseline is not None else "most_expensive"
        baseline = settings.baseline if settings.baseline is not None else max(alone, key=alone.__getitem__)
        baseline_cost = alone[baseline]
        saving = rounded_cost(baseline_cost - routed)
        return Cost(prices=self._prices, costed_tasks=tasks, uncosted_tasks=0, input_tokens=input_tokens,
                    output_tokens=output_tokens, estimated_tasks=totals[2], estimated_input_tasks=totals[3],
                    estimated_output_tasks=totals[4],
                    output_tokens_each=(settings.output_tokens if settings.output_tokens is not None
                                        else ESTIMATED_OUTPUT_TOKENS),
                    routed=routed, alone=alone, ranking=ranking,
                    cheaper_alone=tuple(key for key, amount in ranking if key != "routed" and amount < routed),
                    baseline=baseline, baseline_basis=basis, baseline_cost=baseline_cost, saving=saving,
                    saving_share=saving / baseline_cost if baseline_cost else None)


def _json_value(value: object) -> str:
    """``value`` as JSON text (lone surrogates are replaced when the line is written)."""
    if isinstance(value, str):
        return _encode_text(value)
    if value is None:
        return "null"
    if type(value) is int:
        return str(value)
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


# the standard library's JSON string encoder (in C): quotes and escapes
_encode_text: Callable[[str], str] = getattr(json.encoder, "encode_basestring")


def _reading(reader: TaskReader) -> Reading:
    return Reading(source=reader.name, format=reader.format, field=reader.field,
                   blank_lines=reader.blank_lines, bad_lines=reader.bad_lines,
                   first_bad_lines=tuple(reader.kept_bad_lines), replaced_lines=reader.replaced_lines,
                   first_replaced_line=reader.first_replaced_line, chat_tasks=reader.chat_tasks,
                   outside_catalogue=_most_frequent(reader.outside_catalogue),
                   outside_catalogue_tasks=reader.outside_catalogue_tasks)


def _most_frequent(counts: dict[str, int]) -> tuple[tuple[str, int], ...]:
    """The names most frequent first (in the order met among equals), as many as are kept."""
    return tuple(sorted(counts.items(), key=lambda item: -item[1])[:KEPT_MODEL_NAMES])


class _Out:
    """The per-task lines' file: text written as UTF-8, lone surrogates as U+FFFD."""

    def __init__(self, file: IO[bytes] | None) -> None:
        self._file = file

    def write(self, text: str) -> None:
        if self._file is None or not text:
            return
        try:
            data = text.encode("utf-8")
        except UnicodeEncodeError:
            data = "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in text).encode("utf-8")
        self.write_bytes(data)

    def write_bytes(self, data: bytes) -> None:
        if self._file is not None:
            write_all(self._file, data)


def write_all(file: IO[bytes], data: bytes) -> None:
    """Writes all of ``data`` to ``file``: an unbuffered file may take part of it at a time."""
    view = memoryview(data)
    while view:
        written = file.write(view)
        view = view[written if written is not None else len(view):]


# --- the two runs -----------------------------------------------------------------------------

def evaluate(reader: TaskReader, settings: Settings, *, out: IO[bytes] | None = None,
             progress: Callable[[TaskReader], None] | None = None, explain: Explainer | None = None,
             router_factory: RouterFactory | None = None, tiering: Tiering | None = None) -> Report:
    """Routes every task ``reader`` gives with the lists in force; with ``out``, writes one
    JSON line per task to it. ``progress`` is called after each batch. ``explain`` and
    ``router_factory`` replace the module's classifier and router (to time another
    implementation of them); ``tiering`` tiers the tasks another way (a fitted router)."""
    if tiering is not None:
        explain, router_factory = None, tiering.router
    tally = _tallied(reader, settings, out, progress, explain, router_factory,
                     tiering.explain if tiering is not None else None,
                     tiering.coverage if tiering is not None else None)
    return Report(_reading(reader), tally.summary())


def evaluate_part(reader: TaskReader, settings: Settings, *, out: IO[bytes] | None = None,
                  progress: Callable[[TaskReader], None] | None = None) -> Part:
    """:func:`evaluate` of one part of a workload: its counts, to be combined with the other
    parts' by :func:`combine`."""
    return _tallied(reader, settings, out, progress, None, None).part(_reading(reader))


def combine(settings: Settings, parts: Iterable[Part]) -> Report:
    """The report of a workload evaluated in parts (in the order of the input), each with
    ``settings`` and the lists in force."""
    tally = _Tally(settings, _Routes(settings, mr.ModelRouter), new_explainer(), in_force())
    readings = []
    for part in parts:
        tally.absorb(part)
        readings.append(part.reading)
    if not readings:
        raise ValueError("combine() needs one part or more")
    return Report(_joined(readings), tally.summary())


def _tallied(reader: TaskReader, settings: Settings, out: IO[bytes] | None,
             progress: Callable[[TaskReader], None] | None, explain: Explainer | None,
             router_factory: RouterFactory | None, explain_batch: BatchExplainer | None = None,
             coverage: Callable[[], list[float | None]] | None = None) -> _Tally:
    routes = _Routes(settings, router_factory or mr.ModelRouter)
    explainer = explain_batch or (batch_of(explain) if explain else new_explainer())
    tally = _Tally(settings, routes, explainer, in_force())
    sink = _Out(out)
    with _router_log_silenced():
        for batch in reader.batches():
            facts, spans, requested, tokens = tally.add(batch)
            if out is not None:
                lines = tally.json_lines(batch, facts, spans, requested, tokens)
                sink.write_bytes(lines if coverage is None else _with_coverage(lines, coverage()))
            if progress is not None:
                progress(reader)
    return tally


def _with_coverage(lines: bytes, coverage: list[float | None]) -> bytes:
    """A batch's per-task lines, each with its task's ``"coverage"`` last."""
    parts = lines.split(b"\n")  # JSON escapes every line break inside a line
    return b"\n".join([*(line[:-1] + b',"coverage":' + (b"null" if value is None else repr(value).encode()) + b"}"
                         for line, value in zip(parts, coverage)), *parts[len(coverage):]])


def _joined(readings: list[Reading]) -> Reading:
    """The readings of consecutive parts of one source, as one."""
    first = readings[0]
    bad_lines = [bad for reading in readings for bad in reading.first_bad_lines][:KEPT_BAD_LINES]
    replaced = [r.first_replaced_line for r in readings if r.first_replaced_line is not None]
    outside: dict[str, int] = {}
    for reading in readings:
        for name, n in reading.outside_catalogue:
            outside[name] = outside.get(name, 0) + n
    return Reading(source=first.source, format=first.format, field=first.field,
                   blank_lines=sum(r.blank_lines for r in readings), bad_lines=sum(r.bad_lines for r in readings),
                   first_bad_lines=tuple(bad_lines), replaced_lines=sum(r.replaced_lines for r in readings),
                   first_replaced_line=min(replaced, default=None), chat_tasks=sum(r.chat_tasks for r in readings),
                   outside_catalogue=_most_frequent(outside),
                   outside_catalogue_tasks=sum(r.outside_catalogue_tasks for r in readings))


def compare(reader: TaskReader, settings: Settings, lists: PatternLists, *, out: IO[bytes] | None = None,
            progress: Callable[[TaskReader], None] | None = None, tiering: Tiering | None = None) -> Comparison:
    """Routes every task twice, with the lists in force (before) and with ``lists`` (after),
    and reports the difference; with ``out``, writes one JSON line per task whose tier
    changes. The module's lists are bound back after every batch. With ``tiering``, the
    after side is tiered that way instead (``lists`` then stand for the lists in force)."""
    routes = _Routes(settings, mr.ModelRouter)
    before = _Tally(settings, routes, new_explainer(), in_force())
    if tiering is None:
        after = _Tally(settings, routes, new_explainer(), lists)
    else:
        after = _Tally(settings, _Routes(settings, tiering.router), tiering.explain, lists)
    transitions: dict[tuple[str, str], int] = {}
    changed = 0
    changes: list[Change] = []
    sink = _Out(out)
    with _router_log_silenced():
        for batch in reader.batches():
            facts_before, spans_before, requested, tokens = before.add(batch)
            with applied(lists) if tiering is None else nullcontext():
                facts_after, spans_after, _, _ = after.add(batch, tokens)
            tiers_before = list(map(_FACT_TIER, facts_before))
            tiers_after = list(map(_FACT_TIER, facts_after))
            pairs: dict[tuple[str, str], int] = {}
            _count_elements(pairs, zip(tiers_before, tiers_after))
            for pair, n in pairs.items():
                transitions[pair] = transitions.get(pair, 0) + n
            moved = [i for i, same in enumerate(map(is_, tiers_before, tiers_after)) if not same]
            changed += len(moved)
            coverage = tiering.coverage() if tiering is not None and tiering.coverage is not None else None
            lines: list[str] = []
            for i in moved:
                change = _change(batch, i, before.outcome, after.outcome, (facts_before[i], spans_before[i]),
                                 (facts_after[i], spans_after[i]), requested[i], tokens)
                if coverage is not None:
                    change = replace(change, after=replace(change.after, coverage=coverage[i]))
                if len(changes) < CHANGES_KEPT:
                    changes.append(change)
                if out is not None:
                    lines.append(_change_line(change, with_text=settings.with_text))
            sink.write("".join(lines))
            if progress is not None:
                progress(reader)
    matrix = {tier: {other: 0 for other in TIERS} for tier in TIERS}
    for (tier, other), n in transitions.items():
        matrix[mr.Complexity(tier).value][mr.Complexity(other).value] += n
    return Comparison(reading=_reading(reader), before=before.summary(), after=after.summary(),
                      transitions=matrix, changed=changed, changes=tuple(changes))


def _change(batch: Batch, i: int, outcome_before: Callable[..., Outcome], outcome_after: Callable[..., Outcome],
            explained_before: tuple[_Facts, _Span], explained_after: tuple[_Facts, _Span],
            request: str | None, tokens: _Tokens) -> Change:
    i_tokens, o_tokens, estimated = tokens.of(i)
    return Change(line=batch.lines[i], id=batch.ids[i] if batch.ids is not None else None,
                  description=batch.descriptions[i], input_tokens=i_tokens, output_tokens=o_tokens,
                  estimated=estimated,
                  before=outcome_before(*explained_before, request, i_tokens, o_tokens),
                  after=outcome_after(*explained_after, request, i_tokens, o_tokens))


def outcome_json(outcome: Outcome) -> dict[str, Any]:
    """An outcome as the JSON of a per-task line."""
    return {"tier": outcome.tier, "model": outcome.model, "decided_by": outcome.decided_by,
            "rule": outcome.rule,
            "pattern": None if outcome.pattern_list is None else {"list": outcome.pattern_list,
                                                                  "index": outcome.pattern_index},
            "span": None if outcome.span is None else list(outcome.span), "cost": outcome.cost}


def _side_json(outcome: Outcome) -> dict[str, Any]:
    """A side of a changed task: its outcome, with its ``coverage`` where a fitted router tiered it."""
    record = outcome_json(outcome)
    if outcome.rule == "fitted":
        record["coverage"] = outcome.coverage
    return record


def change_json(change: Change, *, with_text: bool = True) -> dict[str, Any]:
    """A changed task as the JSON of a comparison's line: the members of an evaluation's
    line that are the task's own, then its outcome before and after."""
    record: dict[str, Any] = {"line": change.line, "id": change.id}
    if with_text:
        record["description"] = change.description
    record.update(input_tokens=change.input_tokens, output_tokens=change.output_tokens, estimated=change.estimated,
                  before=_side_json(change.before), after=_side_json(change.after))
    return record


def _change_line(change: Change, *, with_text: bool) -> str:
    return json.dumps(change_json(change, with_text=with_text), ensure_ascii=False, separators=(",", ":")) + "\n"

