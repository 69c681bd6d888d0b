"""The native parts of reading and evaluating a workload: per-task lines, line counts, token estimates,
unspaced descriptions and group sums, for the package (private)."""

from collections.abc import Callable, Sequence
from typing import Any, Protocol

class _HasFileno(Protocol):
    def fileno(self) -> int: ...

def task_lines(lines: list[int], ids: list[Any] | None, descriptions: list[str] | None,
               routes: list[tuple[str, float, float]], spans: list[tuple[int, int] | None],
               tokens: tuple[list[int] | list[int | None] | None, list[int] | list[int | None] | None, int | None,
                             int | None, bool | list[bool]],
               encode: Callable[[Any], str], /) -> bytes:
    """task_lines(lines, ids, descriptions, routes, spans, tokens, encode, /): an evaluation's per-task JSON lines, as UTF-8."""

def count_lines_in(file: int | _HasFileno, cuts: Sequence[int], /) -> list[int]:
    """count_lines_in(file, cuts, /): the number of line breaks in each stretch [cuts[k], cuts[k + 1]) of an open file."""

def unspaced(descriptions: list[str], /) -> list[int]:
    """unspaced(descriptions, /): the indices of the descriptions written mostly in a script without spaces."""

def token_estimates(descriptions: list[str], /) -> list[int]:
    """token_estimates(descriptions, /): each description's UTF-8 bytes / 4, rounded up."""

def group_sums(keys: list[Any], columns: tuple[list[int] | list[bool], ...], /) -> list[tuple[Any, int, list[int]]] | None:
    """group_sums(keys, columns, /): (key, count, column sums) for each key, told apart by identity."""
