"""What a task reader hands on: tasks in :class:`Batch` columns, and every other line
accounted for (:class:`Account`): blank lines counted, bad lines raised as
:class:`InputProblem` or, when they are skipped, counted with the first few kept."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Final, Literal

from halvec.reading import TOO_LONG_BYTE, SourceProblem

__all__ = ["KEPT_BAD_LINES", "MAX_LINE", "TOO_LONG", "Account", "BadLine", "Batch", "InputProblem", "Remedy",
           "not_utf8", "trimmed"]

KEPT_BAD_LINES: Final = 20
"""How many skipped bad lines are kept with their problem (all are counted)."""
MAX_LINE: Final = 8 << 20
"""The most bytes a line (a record of a JSON array, a CSV cell) may have: a longer one is a
bad line, and what is read of it is bounded by this."""
TOO_LONG: Final = f"longer than {MAX_LINE:,} bytes, the most a line may have"

Remedy = Literal["field", "column", "encoding"]
"""What a reader's caller may change to read a bad line: the field (of a JSON record) or the
column (of CSV) that holds the description, or the handling of bytes that are not UTF-8. A
caller says how, in its own terms, with the reader's ``hints``."""


class InputProblem(SourceProblem):
    """Input that cannot be read as tasks: where (the source and the line) and what."""


@dataclass(frozen=True, slots=True)
class BadLine:
    """A line that holds no task, and why."""

    line: int
    problem: str


@dataclass(slots=True)
class Batch:
    """Tasks read together, as columns of the same length."""

    lines: list[int]
    """Each task's line number (a CSV record's first line), counting from 1."""
    descriptions: list[str]
    ids: list[Any] | None = None
    """Each task's ``"id"`` (None where it has none); None when no task of the batch has one."""
    models: list[str | None] | None = None
    """Each task's requested model key (None where it asks for none); None when no task does."""
    input_tokens: list[int | None] | None = None
    output_tokens: list[int | None] | None = None
    tool_counts: list[int | None] | None = None
    """The length of each task's ``"tools"`` list (None where it has none). The router
    classifies a task by its description alone (a tool count of 0), so routing leaves these
    aside; they are here for callers that classify with them."""
    input_estimates: list[int | None] | None = None
    """The estimated input tokens of each chat record, from all that it sends the model (see
    :func:`halvec.workload.conversation_tokens`); None where the description is all there is
    to estimate from."""

    def __len__(self) -> int:
        return len(self.descriptions)

    @classmethod
    def collecting(cls) -> Batch:
        """An empty batch with every column, to add tasks to one at a time."""
        return cls([], [], [], [], [], [], [], [])


_OPTIONAL: Final = ("ids", "models", "input_tokens", "output_tokens", "tool_counts", "input_estimates")


def trimmed(batch: Batch) -> Batch:
    """``batch`` without the optional columns that hold nothing."""
    for name in _OPTIONAL:
        column: list[Any] | None = getattr(batch, name)
        if column is not None and column.count(None) == len(column):
            setattr(batch, name, None)
    return batch


class Account:
    """The lines of a source that hold no task: blank lines counted; a bad line raised as
    :class:`InputProblem` naming ``where`` and the line, or with ``skip_bad`` counted, the
    first :data:`KEPT_BAD_LINES` kept with their problem. ``hints`` says, for a problem that
    has a remedy, what the caller may do (appended to the problem)."""

    def __init__(self, where: str, *, skip_bad: bool, hints: Mapping[Remedy, str]) -> None:
        self.where: str = where
        self.skip_bad: bool = skip_bad
        self.hints: Mapping[Remedy, str] = hints
        self.blank_lines: int = 0
        self.bad_lines: int = 0
        self.kept_bad_lines: list[BadLine] = []

    def said(self, problem: str, remedy: Remedy | None) -> str:
        """The problem with the caller's hint for its remedy, if it gave one."""
        hint = self.hints.get(remedy) if remedy is not None else None
        return problem if hint is None else f"{problem}; {hint}"

    def bad(self, line: int, problem: str, remedy: Remedy | None = None) -> None:
        """A bad line: raised, or counted and perhaps kept."""
        if not self.skip_bad:
            raise InputProblem(self.where, self.said(problem, remedy), line)
        self.bad_lines += 1
        if len(self.kept_bad_lines) < KEPT_BAD_LINES:
            self.kept_bad_lines.append(BadLine(line, self.said(problem, remedy)))

    def unread(self, line: int, code: int) -> None:
        """A bad line that :class:`halvec.reading.Lines` gave as the int ``code``: too long, or
        not UTF-8 (its first bad byte)."""
        if code == TOO_LONG_BYTE:
            self.bad(line, TOO_LONG)
        else:
            self.bad(line, not_utf8(code), "encoding")

    def stop(self, problem: str, line: int | None = None, remedy: Remedy | None = None) -> InputProblem:
        """A fault that ends the reading, bad lines skipped or not (the records after it cannot
        be found)."""
        return InputProblem(self.where, self.said(problem, remedy), line)


def not_utf8(byte: int) -> str:
    """The problem of a line whose first byte that is not UTF-8 is ``byte``."""
    return f"not valid UTF-8 (byte 0x{byte:02x})"
