"""A workload's token counts: each task's resolved a batch at a time (its own, else the run's
flat count, else an estimate, which is counted), and summed by key."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from itertools import compress, repeat
from operator import is_, or_
from typing import Any, Final

from halvec import _workload
from halvec.evaluation.explainers import estimates
from halvec.evaluation.settings import Settings
from halvec.workload import Batch

__all__ = ["ESTIMATED_OUTPUT_TOKENS", "BatchTokens", "TokenSums"]

ESTIMATED_OUTPUT_TOKENS: Final = 500
"""The output count of a task that has none of its own, when the run gives no flat count:
a description says little about the length of its answer, so one stated figure stands for
all, a few paragraphs' worth."""


@dataclass(slots=True)
class TokenSums:
    """Token counts summed over tasks, with how many tasks had a count estimated."""

    input: int = 0
    output: int = 0
    estimated: int = 0
    """Tasks with either count estimated."""
    estimated_input: int = 0
    estimated_output: int = 0

    def add(self, other: TokenSums) -> None:
        self.input += other.input
        self.output += other.output
        self.estimated += other.estimated
        self.estimated_input += other.estimated_input
        self.estimated_output += other.estimated_output


@dataclass(slots=True)
class BatchTokens:
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

    @classmethod
    def of_batch(cls, batch: Batch, settings: Settings) -> BatchTokens:
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
        return cls(ins, flat_in, outs, out_each, estimated_in, estimated_out)

    def sums(self, keys: list[Any], same: Callable[[Any, Any], bool], groups: Iterable[Any]
             ) -> Iterator[tuple[Any, TokenSums]]:
        """The counts summed by key (``keys``: each task's): natively, in one pass, when the
        keys are compared by identity (the tiers themselves); else a group at a time."""
        in_each = self.in_each if self.in_each is not None else 0
        # each quantity: a column to sum, or what every task adds
        quantities: list[list[int] | list[bool] | int | bool] = [
            self.ins if self.ins is not None else in_each, self.outs if self.outs is not None else self.out_each,
            self.estimated, self.estimated_in, self.estimated_out]
        columns = tuple(q for q in quantities if isinstance(q, list))
        grouped = _workload.group_sums(keys, columns) if same is is_ else None
        if grouped is None:
            groups = list(groups)
            every = len(groups) == 1
            grouped = []
            for key in groups:
                chosen = None if every else list(map(same, keys, repeat(key)))
                n = len(keys) if chosen is None else sum(chosen)
                grouped.append((key, n, [sum(c) if chosen is None else sum(compress(c, chosen)) for c in columns]))
        for key, n, column_sums in grouped:
            summed = iter(column_sums)
            yield key, TokenSums(*(next(summed) if isinstance(q, list) else n * int(q) for q in quantities))


def _input_estimates(batch: Batch) -> list[int]:
    """Each task's input estimate: a chat record's from its whole conversation, any other's
    from its description."""
    made = estimates(batch.descriptions)
    if batch.input_estimates is not None:
        made = [d if c is None else c for d, c in zip(made, batch.input_estimates)]
    return made
