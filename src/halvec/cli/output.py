"""What the command line writes: tables and JSON, on standard output, through :func:`write`,
:func:`line`, :func:`json_document` and :func:`flush`. A closed pipe raises
:class:`BrokenPipeError`; the program then ends quietly.
"""

from __future__ import annotations

import io
import json
import os
import sys
from collections.abc import Iterable, Sequence

__all__ = ["discard_stdout", "flush", "json_document", "line", "make_streams_tolerant", "table", "write"]


# --- streams ---------------------------------------------------------------------------------

def make_streams_tolerant() -> None:
    """Output never fails on encoding: a strict stream replaces what it cannot encode by ``?``."""
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper) and stream.errors == "strict":
            stream.reconfigure(errors="replace")


def write(text: str) -> None:
    """Writes ``text`` to standard output."""
    print(text, end="")


def line(text: str = "") -> None:
    """Writes ``text`` and a line break to standard output."""
    write(text + "\n")


def flush() -> None:
    """Pushes what standard output still buffers to its file: a closed pipe shows here."""
    sys.stdout.flush()


def discard_stdout() -> None:
    """After a closed pipe: sends what standard output still buffers nowhere, so the exit
    stays quiet."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, sys.stdout.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


# --- tables ----------------------------------------------------------------------------------

def table(headers: Sequence[str], rows: Iterable[Sequence[object]]) -> str:
    """Left-aligned columns two spaces apart, a rule under the headers."""
    cells = [[str(cell) for cell in row] for row in (headers, *rows)]
    widths = [max(len(cell) for cell in column) for column in zip(*cells)]
    lines = ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in cells]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(lines)


# --- JSON ------------------------------------------------------------------------------------

def json_document(value: object) -> None:
    """Writes ``value`` as one JSON document (indented, ASCII)."""
    line(json.dumps(value, indent=2, ensure_ascii=True))
