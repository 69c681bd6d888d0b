"""A workload evaluated in this process: every task routed with the lists in force
(:func:`evaluate`, or :func:`evaluate_part` for one part of a workload, whose counts
:func:`combine` puts together), or with two pairs of lists (:func:`compare`); with each
task's JSON line written to ``out``."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from contextlib import nullcontext
from dataclasses import replace
from operator import is_
from typing import IO, Any, Final

from halvec.core import model_router as mr
from halvec.evaluation.explainers import (TIER_OF, BatchExplainer, Explainer, FactTuple, RouterFactory, Span, Tiering,
                                          batch_of, new_explainer)
from halvec.evaluation.results import TIERS, Change, Comparison, Outcome, Part, Reading, Report
from halvec.evaluation.settings import Settings
from halvec.evaluation.tally import Routes, Tally, count_elements, router_log_silenced
from halvec.evaluation.tokens import BatchTokens
from halvec.pattern_lists import PatternLists, applied, in_force
from halvec.workload import KEPT_BAD_LINES, KEPT_MODEL_NAMES, Batch, TaskReader

__all__ = ["CHANGES_KEPT", "combine", "compare", "evaluate", "evaluate_part", "reading_of", "write_all"]

CHANGES_KEPT: Final = 20
"""How many changed tasks a comparison keeps for its report (all go to its ``out``)."""
_TIER: Final = TIER_OF
"""A task's tier, from its facts."""


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
                     tiering.coverage if tiering is not None else None,
                     tiering.routes_by() if tiering is not None else _TIER)
    return Report(reading_of(reader), tally.summary())


def evaluate_part(reader: TaskReader, settings: Settings, *, out: IO[bytes] | None = None,
                  progress: Callable[[TaskReader], None] | None = None) -> Part:
    """:func:`evaluate` of one part of a workload: its counts, to be combined with the other
    parts' by :func:`combine`."""
    return _tallied(reader, settings, out, progress, None, None).part(reading_of(reader))


def combine(settings: Settings, parts: Iterable[Part]) -> Report:
    """The report of a workload evaluated in parts (in the order of the input), each with
    ``settings`` and the lists in force."""
    tally = Tally(settings, Routes(settings, mr.ModelRouter), new_explainer(), in_force())
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
             coverage: Callable[[], list[float | None]] | None = None,
             route_of: Callable[[FactTuple], Any] = _TIER) -> Tally:
    routes = Routes(settings, router_factory or mr.ModelRouter)
    explainer = explain_batch or (batch_of(explain) if explain else new_explainer())
    tally = Tally(settings, routes, explainer, in_force(), route_of)
    sink = _Out(out)
    with router_log_silenced():
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


def reading_of(reader: TaskReader) -> Reading:
    """How ``reader`` has read its source so far."""
    return Reading(source=reader.name, format=reader.format, field=reader.field,
                   blank_lines=reader.blank_lines, bad_lines=reader.bad_lines,
                   first_bad_lines=tuple(reader.kept_bad_lines), replaced_lines=reader.replaced_lines,
                   first_replaced_line=reader.first_replaced_line, chat_tasks=reader.chat_tasks,
                   outside_catalogue=_most_frequent(reader.outside_catalogue),
                   outside_catalogue_tasks=reader.outside_catalogue_tasks, model_field=reader.model_field)


def _most_frequent(counts: dict[str, int]) -> tuple[tuple[str, int], ...]:
    """The names most frequent first (in the order met among equals), as many as are kept."""
    return tuple(sorted(counts.items(), key=lambda item: -item[1])[:KEPT_MODEL_NAMES])


def _joined(readings: list[Reading]) -> Reading:
    """The readings of consecutive parts of one source, as one."""
    first = readings[0]
    bad_lines = [bad for reading in readings for bad in reading.first_bad_lines][:KEPT_BAD_LINES]
    replaced = [r.first_replaced_line for r in readings if r.first_replaced_line is not None]
    outside: dict[str, int] = {}
    for reading in readings:
        for name, n in reading.outside_catalogue:
            outside[name] = outside.get(name, 0) + n
    return replace(first, blank_lines=sum(r.blank_lines for r in readings),
                   bad_lines=sum(r.bad_lines for r in readings),
                   first_bad_lines=tuple(bad_lines), replaced_lines=sum(r.replaced_lines for r in readings),
                   first_replaced_line=min(replaced, default=None), chat_tasks=sum(r.chat_tasks for r in readings),
                   outside_catalogue=_most_frequent(outside),
                   outside_catalogue_tasks=sum(r.outside_catalogue_tasks for r in readings))


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


def compare(reader: TaskReader, settings: Settings, lists: PatternLists, *, out: IO[bytes] | None = None,
            progress: Callable[[TaskReader], None] | None = None, tiering: Tiering | None = None) -> Comparison:
    """Routes every task twice, with the lists in force (before) and with ``lists`` (after),
    and reports the difference; with ``out``, writes one JSON line per task whose tier
    changes. The module's lists are bound back after every batch. With ``tiering``, the
    after side is tiered that way instead (``lists`` then stand for the lists in force)."""
    routes = Routes(settings, mr.ModelRouter)
    before = Tally(settings, routes, new_explainer(), in_force())
    if tiering is None:
        after = Tally(settings, routes, new_explainer(), lists)
    else:
        after = Tally(settings, Routes(settings, tiering.router), tiering.explain, lists, tiering.routes_by())
    transitions: dict[tuple[str, str], int] = {}
    changed = 0
    changes: list[Change] = []
    sink = _Out(out)
    with router_log_silenced():
        for batch in reader.batches():
            facts_before, spans_before, requested, tokens = before.add(batch)
            with applied(lists) if tiering is None else nullcontext():
                facts_after, spans_after, _, _ = after.add(batch, tokens)
            tiers_before = list(map(_TIER, facts_before))
            tiers_after = list(map(_TIER, facts_after))
            pairs: dict[tuple[str, str], int] = {}
            count_elements(pairs, zip(tiers_before, tiers_after))
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
                    lines.append(change.json_line(with_text=settings.with_text))
            sink.write("".join(lines))
            if progress is not None:
                progress(reader)
    matrix = {tier: {other: 0 for other in TIERS} for tier in TIERS}
    for (tier, other), n in transitions.items():
        matrix[mr.Complexity(tier).value][mr.Complexity(other).value] += n
    return Comparison(reading=reading_of(reader), before=before.summary(), after=after.summary(),
                      transitions=matrix, changed=changed, changes=tuple(changes))


def _change(batch: Batch, i: int, outcome_before: Callable[..., Outcome], outcome_after: Callable[..., Outcome],
            explained_before: tuple[FactTuple, Span], explained_after: tuple[FactTuple, Span],
            request: str | None, tokens: BatchTokens) -> Change:
    i_tokens, o_tokens, estimated = tokens.of(i)
    return Change(line=batch.lines[i], id=batch.ids[i] if batch.ids is not None else None,
                  description=batch.descriptions[i], input_tokens=i_tokens, output_tokens=o_tokens,
                  estimated=estimated,
                  before=outcome_before(*explained_before, request, i_tokens, o_tokens),
                  after=outcome_after(*explained_after, request, i_tokens, o_tokens))
