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
another pair, and reports what changes. Cost comes from the catalogue's prices per 1,000
input and output tokens and each task's token counts.

The per-task work is done a batch at a time, with the interpreter's own loops (``map``,
``Counter``) wherever the task's record allows.
"""

from __future__ import annotations

import json
import json.encoder
import logging
import collections
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass
from itertools import compress, repeat
from operator import attrgetter, is_, itemgetter
from typing import IO, Any, Final, Literal, Protocol

from halvec import _patterns
from halvec.core import model_router as mr
from halvec.explain import ComplexityExplanation, DecidedBy, Rule, explain_selection
from halvec.pattern_lists import LIST_NAMES, ListName, PatternLists, applied, in_force
from halvec.workload import KEPT_BAD_LINES, BadLine, Batch, TaskReader

__all__ = ["CHANGES_KEPT", "DECIDED_BY", "RULES", "TIERS", "BatchExplainer", "Change", "Comparison", "Cost",
           "Explainer", "Part", "batch_of",
           "Outcome", "PatternCount", "Reading", "Report", "RouterFactory", "Settings", "Summary",
           "TaskRule", "Tiering", "combine", "compare", "evaluate", "evaluate_part", "new_explainer", "outcome_json",
           "task_cost", "write_all"]

TIERS: Final[tuple[str, str, str]] = ("simple", "moderate", "complex")
TaskRule = Rule | Literal["fitted"]
"""What decided a task's tier: a rule of the module's classifier, or a fitted router's score."""
RULES: Final[tuple[TaskRule, ...]] = ("length", "complex_pattern", "simple_pattern", "counts", "fitted")
DECIDED_BY: Final[tuple[DecidedBy, ...]] = ("explicit", "default", "auto", "fallback", "last_resort")
CHANGES_KEPT: Final = 20
"""How many changed tasks a comparison keeps for its report (all go to its ``out``)."""

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
    tiers descriptions the same way."""

    explain: BatchExplainer
    router: RouterFactory


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


@dataclass(frozen=True)
class Settings:
    """How the workload is routed and costed."""

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
    """What the workload costs, at the catalogue's prices per 1,000 tokens."""

    costed_tasks: int
    """Tasks with both token counts (their own, or the defaults)."""
    uncosted_tasks: int
    input_tokens: int
    output_tokens: int
    routed: float
    """The cost with each task on the model it was routed to."""
    alone: dict[str, float]
    """The cost with every task on one model, for each catalogue model."""
    baseline: str
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
    """None when no task has token counts."""

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
    """By (requested model, tier): [tasks with a count of their own, of those costed, input
    tokens, output tokens]."""
    routes: dict[tuple[str | None, str], tuple[str, DecidedBy]]
    """The router's choice, (model, decided_by), for each (requested model, tier) met."""


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


@dataclass(frozen=True)
class Change:
    """A task whose tier the other lists change."""

    line: int
    id: Any
    description: str
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


def task_cost(model: str, input_tokens: int, output_tokens: int) -> float:
    """One task's cost on ``model`` at the catalogue's prices."""
    spec = mr.AVAILABLE_MODELS[model]
    return (input_tokens * spec.cost_per_1k_input + output_tokens * spec.cost_per_1k_output) / 1000


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
class _Tally:
    """Totals of tasks routed with one pair of lists."""

    def __init__(self, settings: Settings, routes: _Routes, explain: BatchExplainer, lists: PatternLists) -> None:
        self._settings = settings
        self._routes = routes
        self._explain = explain
        self._lists = lists
        self._default = settings.model
        # tasks by requested model and facts: {requested: {facts: count}}
        self._counts: dict[str | None, dict[_Facts, int]] = {}
        # tasks with a token count of their own, by (requested, tier): [tasks, costed, in, out]
        self._tokens: dict[tuple[str | None, str], list[int]] = {}
        # what a task's line takes from its request and facts (see json_lines), by request
        # then facts, and by (request, facts)
        self._line_routes: dict[str | None, dict[_Facts, tuple[str, float, float]]] = {}
        self._pair_routes: dict[tuple[str | None, _Facts], tuple[str, float, float]] = {}

    def add(self, batch: Batch) -> tuple[list[_Facts], list[_Span], list[str | None]]:
        """Classifies and counts a batch; returns each task's facts, span and request."""
        facts, spans = self._explain(batch.descriptions)
        requested: list[str | None]
        if batch.models is None:
            requested = [self._default] * len(facts)
            counts = self._counts.setdefault(self._default, {})
            _count_elements(counts, facts)
            pairs = {(self._default, tier) for tier in set(map(_FACT_TIER, facts))}
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
            pairs = set(zip(requested, map(_FACT_TIER, facts)))
        for pair in pairs - self._routes.known.keys():
            request, tier = pair
            index = next(i for i, (r, f) in enumerate(zip(requested, facts)) if r == request and f[0] == tier)
            self._routes.add(request, tier, batch.descriptions[index])
        if batch.input_tokens is not None or batch.output_tokens is not None:
            self._add_tokens(batch, requested, facts)
        return facts, spans, requested

    def _add_tokens(self, batch: Batch, requested: list[str | None], facts: list[_Facts]) -> None:
        none: list[int | None] = [None] * len(facts)
        ins = batch.input_tokens if batch.input_tokens is not None else none
        outs = batch.output_tokens if batch.output_tokens is not None else none
        if batch.models is None and None not in ins and None not in outs:
            # every task has both counts, and all request the same: sums per tier, in C loops
            tiers = list(map(_FACT_TIER, facts))
            for tier in set(tiers):
                chosen = list(map(is_, tiers, repeat(tier)))
                acc = self._tokens.setdefault((self._default, tier), [0, 0, 0, 0])
                n = sum(chosen)
                acc[0] += n
                acc[1] += n
                acc[2] += sum(compress(ins, chosen))  # type: ignore[arg-type]
                acc[3] += sum(compress(outs, chosen))  # type: ignore[arg-type]
            return
        default_in, default_out = self._settings.input_tokens, self._settings.output_tokens
        for request, fact, i, o in zip(requested, facts, ins, outs):
            if i is None and o is None:
                continue
            acc = self._tokens.setdefault((request, fact[0]), [0, 0, 0, 0])
            acc[0] += 1
            if i is None:
                i = default_in
            if o is None:
                o = default_out
            if i is not None and o is not None:
                acc[1] += 1
                acc[2] += i
                acc[3] += o

    # --- per task ---

    def outcome(self, fact: _Facts, span: _Span, request: str | None, input_tokens: int | None,
                output_tokens: int | None) -> Outcome:
        tier, rule, pattern_list, pattern_index = fact
        route = self._routes.known[(request, tier)]
        return Outcome(tier=tier.value, model=route.key, decided_by=route.decided_by, rule=rule,
                       pattern_list=pattern_list, pattern_index=pattern_index, span=span,
                       cost=self._cost(route.key, input_tokens, output_tokens))

    def _cost(self, model: str, input_tokens: int | None, output_tokens: int | None) -> float | None:
        if input_tokens is None:
            input_tokens = self._settings.input_tokens
        if output_tokens is None:
            output_tokens = self._settings.output_tokens
        if input_tokens is None or output_tokens is None:
            return None
        return task_cost(model, input_tokens, output_tokens)

    def json_lines(self, batch: Batch, facts: list[_Facts], span_list: list[_Span],
                   requested: list[str | None]) -> bytes:
        """One JSON line per task of the batch, as UTF-8: line, id, tier, model, decided_by,
        rule, pattern, span, cost. What depends only on the request and the facts (the
        members from tier to pattern, the model's prices) is made once for each pair met;
        the native writer does the rest, costs included."""
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
        settings = self._settings
        return _patterns.task_lines(batch.lines, batch.ids, line_routes, span_list,
                                    (batch.input_tokens, batch.output_tokens, settings.input_tokens,
                                     settings.output_tokens), _json_value)

    def _line_route(self, request: str | None, fact: _Facts) -> tuple[str, float, float]:
        """The members from "tier" to "pattern" of a line, and the prices of its model."""
        tier, rule, pattern_list, pattern_index = fact
        route = self._routes.known[(request, tier)]
        spec = mr.AVAILABLE_MODELS[route.key]
        pattern = ("null" if pattern_list is None
                   else f'{{"list":"{pattern_list}","index":{pattern_index}}}')
        head = (f'"tier":"{tier.value}","model":{_json_value(route.key)},"decided_by":"{route.decided_by}",'
                f'"rule":"{rule}","pattern":{pattern}')
        return head, spec.cost_per_1k_input, spec.cost_per_1k_output

    # --- totals ---

    def part(self, reading: Reading) -> Part:
        return Part(reading=reading, counts=self._counts, tokens=self._tokens,
                    routes={pair: (route.key, route.decided_by) for pair, route in self._routes.known.items()})

    def absorb(self, part: Part) -> None:
        """Adds the counts of a part evaluated with the same settings and lists."""
        self._routes.learn(part.routes)
        for request, counts in part.counts.items():
            mine = self._counts.setdefault(request, {})
            for fact, n in counts.items():
                mine[fact] = mine.get(fact, 0) + n
        for pair, sums in part.tokens.items():
            acc = self._tokens.setdefault(pair, [0, 0, 0, 0])
            for i, value in enumerate(sums):
                acc[i] += value

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
        return Summary(tasks=tasks, tiers=tiers, models=models, decided_by=decided_by,
                       requests_not_honoured=not_honoured, rules=rules, patterns=patterns,
                       cost=self._total_cost(by_pair))

    def _total_cost(self, by_pair: dict[tuple[str | None, str], int]) -> Cost | None:
        settings = self._settings
        routes = self._routes.known
        costed = input_tokens = output_tokens = 0
        # token sums by chosen model
        sums = {key: [0, 0] for key in mr.AVAILABLE_MODELS}
        for pair, n in by_pair.items():
            with_counts, n_costed, i, o = self._tokens.get(pair, (0, 0, 0, 0))
            bare = n - with_counts  # tasks with no count of their own
            if bare and settings.input_tokens is not None and settings.output_tokens is not None:
                n_costed += bare
                i += bare * settings.input_tokens
                o += bare * settings.output_tokens
            costed += n_costed
            input_tokens += i
            output_tokens += o
            model = sums.setdefault(routes[pair].key, [0, 0])
            model[0] += i
            model[1] += o
        if not costed:
            return None
        catalogue = mr.AVAILABLE_MODELS
        routed = sum((i * catalogue[key].cost_per_1k_input + o * catalogue[key].cost_per_1k_output) / 1000
                     for key, (i, o) in sums.items() if i or o)
        alone = {key: (input_tokens * spec.cost_per_1k_input + output_tokens * spec.cost_per_1k_output) / 1000
                 for key, spec in catalogue.items()}
        baseline = settings.baseline if settings.baseline is not None else max(alone, key=alone.__getitem__)
        baseline_cost = alone[baseline]
        saving = baseline_cost - routed
        return Cost(costed_tasks=costed, uncosted_tasks=sum(by_pair.values()) - costed,
                    input_tokens=input_tokens, output_tokens=output_tokens, routed=routed, alone=alone,
                    baseline=baseline, baseline_cost=baseline_cost, saving=saving,
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
                   first_replaced_line=reader.first_replaced_line)


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
                     tiering.explain if tiering is not None else None)
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
             router_factory: RouterFactory | None, explain_batch: BatchExplainer | None = None) -> _Tally:
    routes = _Routes(settings, router_factory or mr.ModelRouter)
    explainer = explain_batch or (batch_of(explain) if explain else new_explainer())
    tally = _Tally(settings, routes, explainer, in_force())
    sink = _Out(out)
    with _router_log_silenced():
        for batch in reader.batches():
            facts, spans, requested = tally.add(batch)
            if out is not None:
                sink.write_bytes(tally.json_lines(batch, facts, spans, requested))
            if progress is not None:
                progress(reader)
    return tally


def _joined(readings: list[Reading]) -> Reading:
    """The readings of consecutive parts of one source, as one."""
    first = readings[0]
    bad_lines = [bad for reading in readings for bad in reading.first_bad_lines][:KEPT_BAD_LINES]
    replaced = [r.first_replaced_line for r in readings if r.first_replaced_line is not None]
    return Reading(source=first.source, format=first.format, field=first.field,
                   blank_lines=sum(r.blank_lines for r in readings), bad_lines=sum(r.bad_lines for r in readings),
                   first_bad_lines=tuple(bad_lines), replaced_lines=sum(r.replaced_lines for r in readings),
                   first_replaced_line=min(replaced, default=None))


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
            facts_before, spans_before, requested = before.add(batch)
            with applied(lists) if tiering is None else nullcontext():
                facts_after, spans_after, _ = after.add(batch)
            tiers_before = list(map(_FACT_TIER, facts_before))
            tiers_after = list(map(_FACT_TIER, facts_after))
            pairs: dict[tuple[str, str], int] = {}
            _count_elements(pairs, zip(tiers_before, tiers_after))
            for pair, n in pairs.items():
                transitions[pair] = transitions.get(pair, 0) + n
            moved = [i for i, same in enumerate(map(is_, tiers_before, tiers_after)) if not same]
            changed += len(moved)
            lines: list[str] = []
            for i in moved:
                change = _change(batch, i, before.outcome, after.outcome, (facts_before[i], spans_before[i]),
                                 (facts_after[i], spans_after[i]), requested[i])
                if len(changes) < CHANGES_KEPT:
                    changes.append(change)
                if out is not None:
                    lines.append(_change_line(change))
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
            request: str | None) -> Change:
    i_tokens = batch.input_tokens[i] if batch.input_tokens is not None else None
    o_tokens = batch.output_tokens[i] if batch.output_tokens is not None else None
    return Change(line=batch.lines[i], id=batch.ids[i] if batch.ids is not None else None,
                  description=batch.descriptions[i],
                  before=outcome_before(*explained_before, request, i_tokens, o_tokens),
                  after=outcome_after(*explained_after, request, i_tokens, o_tokens))


def outcome_json(outcome: Outcome) -> dict[str, Any]:
    """An outcome as the JSON of a per-task line."""
    return {"tier": outcome.tier, "model": outcome.model, "decided_by": outcome.decided_by,
            "rule": outcome.rule,
            "pattern": None if outcome.pattern_list is None else {"list": outcome.pattern_list,
                                                                  "index": outcome.pattern_index},
            "span": None if outcome.span is None else list(outcome.span), "cost": outcome.cost}


def _change_line(change: Change) -> str:
    record = {"line": change.line, "id": change.id, "description": change.description,
              "before": outcome_json(change.before), "after": outcome_json(change.after)}
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n"

