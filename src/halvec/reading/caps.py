"""Caps on what is read from what a user names, so that ``/dev/zero``, an endless FIFO or a
line of gigabytes (a small gzip file can hold one) ends in one clear error instead of taking
all the memory there is.

Each cap is a :class:`Cap`: the most bytes a kind of file (read whole) or line (read one at a
time, by :class:`halvec.reading.Lines`) may have, and what to call it in the error. No more
than the cap and one byte is ever read into memory. The caps, and why:

- a fitted router file, 64 MiB: a 20,000-n-gram router (what ``halvec fit`` writes) is about
  1.2 MB; its tables count against the pattern engine's 64 MiB budget at about 75 bytes an
  n-gram, so a file past 64 MiB (a million n-grams or more) could not be loaded anyway;
- a prices, preferences, patterns or catalogue file, 8 MiB: these hold a few hundred bytes to some tens
  of kilobytes; 8 MiB is the most a line of a task file may have;
- a line of an outcome file (one prompt with its results), 64 MiB: a prompt may be a whole
  document; a million tokens of text is about 4 MB, and the cap is sixteen times that;
- a description ``classify`` or ``route`` reads from a file or standard input, 64 MiB, as a
  prompt of an outcome file.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol

__all__ = ["DESCRIPTION", "OPTION_FILE", "OUTCOME_LINE", "ROUTER_FILE", "Cap", "TooLarge", "read_bounded", "read_file"]


@dataclass
class Cap:
    """The most bytes one thing may have (a test may lower it: it is read at each use)."""

    bytes: int
    what: str
    """What is capped, for the error: ``a router file``, ``a line``."""

    def problem(self) -> str:
        """``larger than 67,108,864 bytes (64 MiB), the most a router file may have``."""
        size = f"{self.bytes:,} bytes" + (f" ({self.bytes >> 20} MiB)" if self.bytes % (1 << 20) == 0 else "")
        return f"larger than {size}, the most {self.what} may have"


ROUTER_FILE = Cap(64 << 20, "a router file")
OPTION_FILE = Cap(8 << 20, "a prices, preferences, patterns or catalogue file")
OUTCOME_LINE = Cap(64 << 20, "a line")
DESCRIPTION = Cap(64 << 20, "a description")


class TooLarge(ValueError):
    """What was read is larger than its cap; the text says so (without naming the file)."""

    def __init__(self, cap: Cap) -> None:
        super().__init__(cap.problem())
        self.cap: Cap = cap


class _Readable(Protocol):
    def read(self, size: int = -1, /) -> bytes: ...


def read_bounded(file: _Readable, cap: Cap) -> bytes:
    """The whole of ``file`` (a buffered binary file, whose ``read(n)`` reads until it has
    ``n`` bytes or the end); :class:`TooLarge` past the cap."""
    limit = cap.bytes
    data = file.read(limit + 1)
    if len(data) > limit:
        raise TooLarge(cap)
    return data


def read_file(path: str, cap: Cap) -> bytes:
    """The bytes of the file at ``path``; OSError when it cannot be read, :class:`TooLarge`
    past the cap."""
    with open(path, "rb") as file:
        return read_bounded(file, cap)
