"""What was read and cannot be used, said the one way every reader says it: where (the source
as messages name it), the line and what is wrong."""

from __future__ import annotations

from typing import Self

__all__ = ["SourceProblem"]


class SourceProblem(Exception):
    """A source (a file, standard input, a file's content) that cannot be used: ``where`` names
    it (None: not named yet, the message starts with the problem), ``line`` is the line of the
    problem (None: the source as a whole), ``problem`` says what is wrong.

    Each kind of source has its subclass, so that a caller catches the problems of what it
    reads; a subclass that was a ``ValueError`` stays one. A problem is sent whole between
    processes."""

    def __init__(self, where: str | None, problem: str, line: int | None = None) -> None:
        self.where: str | None = where
        self.problem: str = problem
        self.line: int | None = line
        at = f"line {line}: {problem}" if line is not None else problem
        super().__init__(at if where is None else f"{where}, {at}" if line is not None else f"{where}: {problem}")

    def named(self, where: str) -> Self:
        """The same problem, its source named ``where`` (by a caller that knows it better)."""
        return type(self)(where, self.problem, self.line)

    def __reduce__(self) -> tuple[type[Self], tuple[str | None, str, int | None]]:
        return type(self), (self.where, self.problem, self.line)
