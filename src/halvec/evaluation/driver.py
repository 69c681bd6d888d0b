"""The one way a run is driven: what to evaluate, and whether the pool of processes or this
process evaluates it."""

from __future__ import annotations

from collections.abc import Callable
from contextlib import nullcontext
from typing import IO, Any, BinaryIO

from halvec.evaluation.explainers import Tiering
from halvec.evaluation.parts import evaluate_stream
from halvec.evaluation.results import Comparison, Report
from halvec.evaluation.runs import compare, evaluate
from halvec.evaluation.settings import Settings
from halvec.pattern_lists import PatternLists, applied, in_force
from halvec.workload import ReadOptions

__all__ = ["run_evaluation"]


def run_evaluation(stream: BinaryIO, settings: Settings, options: ReadOptions, *, where: str, name: str,
                   size: int | None = None, patterns: PatternLists | None = None, tiering: Tiering | None = None,
                   compare_sides: bool = False, out: IO[bytes] | None = None,
                   progress: Callable[[Any], None] | None = None, jobs: int | None = None) -> Report | Comparison:
    """The tasks of ``stream`` (named ``where`` in messages, ``name`` as the user named it),
    read with ``options``: evaluated with ``patterns`` in force (None: the lists in force), or
    tiered by ``tiering`` (a fitted router); with ``compare_sides``, routed both with the lists
    in force and with ``patterns`` or ``tiering``, and compared. A plain evaluation is made by
    a pool of up to ``jobs`` processes where the source can be cut
    (:func:`halvec.evaluation.parts.evaluate_stream`); the others read the source in this
    process. ``progress`` is called with the reading now and then."""
    if compare_sides and patterns is None and tiering is None:
        raise ValueError("a comparison needs other lists or a tiering to compare with")
    if patterns is not None and tiering is not None:
        raise ValueError("a tiering replaces the lists: give patterns or a tiering, not both")
    if tiering is not None or compare_sides:
        reader = options.reader(stream, where, name=name, size=size)
        if not compare_sides:
            return evaluate(reader, settings, out=out, progress=progress, tiering=tiering)
        against = patterns if patterns is not None else in_force()
        return compare(reader, settings, against, out=out, progress=progress, tiering=tiering)
    with applied(patterns) if patterns is not None else nullcontext():
        return evaluate_stream(stream, settings, options, where=where, name=name, size=size, out=out,
                               progress=progress, jobs=jobs)
