"""What the command line writes, and how: text that cannot break the layout or drive the
terminal, tables, JSON that any parser reads, and writes that fail with a clear reason.

Standard output is written only through :func:`write`, :func:`line`, :func:`json_document`
and :func:`flush`: a closed pipe raises :class:`BrokenPipeError` (the program ends quietly),
any other failure :class:`OutputError` (the program says why on standard error). Standard
error is written through :func:`message`, which never fails: there is nowhere left to report
a failure to write there.
"""

from __future__ import annotations

import io
import json
import os
import sys
from collections.abc import Iterable, Sequence

__all__ = ["OutputError", "escape", "flush", "json_document", "line", "make_streams_tolerant",
           "message", "discard_stdout", "table", "without_lone_surrogates", "write"]


class OutputError(Exception):
    """Standard output cannot be written: it is closed, the disk is full, an I/O error.

    The text is the reason, ready to show: ``cannot write to standard output: ...``.
    A closed pipe is not one of these; it stays a :class:`BrokenPipeError`."""


# --- streams ---------------------------------------------------------------------------------

def make_streams_tolerant() -> None:
    """Output never fails on encoding: what a stream cannot encode is replaced by ``?``.

    Both streams are set so, whatever the interpreter chose (``strict`` for a standard
    output given an encoding by ``PYTHONIOENCODING``, ``surrogateescape`` under the C
    locale, ``backslashreplace`` for standard error)."""
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper) and stream.errors != "replace":
            try:
                stream.reconfigure(errors="replace")
            except (OSError, ValueError):  # closed already: writing to it fails, and says so
                pass


def write(text: str) -> None:
    """Writes ``text`` to standard output."""
    stream = sys.stdout
    if stream is None:  # the program started with its standard output closed (>&-)
        raise OutputError("cannot write to standard output: it is closed")
    try:
        stream.write(text)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError(f"cannot write to standard output: {error.strerror or error}") from None
    except ValueError as error:
        if isinstance(error, UnicodeError):
            raise
        raise OutputError("cannot write to standard output: it is closed") from None


def line(text: str = "") -> None:
    """Writes ``text`` and a line break to standard output."""
    write(text + "\n")


def flush() -> None:
    """Pushes what standard output still buffers to its file: a late failure shows here."""
    stream = sys.stdout
    if stream is None:
        return  # nothing was written, or write() has already said the stream is closed
    try:
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError(f"cannot write to standard output: {error.strerror or error}") from None
    except ValueError:
        raise OutputError("cannot write to standard output: it is closed") from None


def discard_stdout() -> None:
    """After a failed write: sends what standard output still buffers nowhere, so that the
    interpreter's own flush at exit neither fails nor changes the exit status."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, sys.stdout.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def message(text: str) -> None:
    """Writes ``text`` (a whole line, with its line break) to standard error; never fails."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError):
        pass


# --- text ------------------------------------------------------------------------------------

_NAMED_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def escape(text: str, *, backslash: bool = True) -> str:
    """``text`` with everything that is not printable shown as an escape, as Python writes
    one (``\\n``, ``\\x1b``, ``\\u202e``, ``\\udce9``): line breaks cannot break the layout,
    and control characters and escape sequences cannot drive the terminal.

    A backslash is doubled, so that an escape and the same characters typed in the text
    stay distinct; ``backslash=False`` leaves it single, for messages whose quoted parts
    Python has escaped already (``repr``)."""
    if text.isprintable() and (not backslash or "\\" not in text):
        return text
    return "".join(_escape_character(c, backslash) for c in text)


def _escape_character(character: str, backslash: bool) -> str:
    if character == "\\":
        return "\\\\" if backslash else "\\"
    if character.isprintable():
        return character
    named = _NAMED_ESCAPES.get(character)
    if named is not None:
        return named
    code = ord(character)
    if code < 0x100:
        return f"\\x{code:02x}"
    if code < 0x10000:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"


class Escaped(str):
    """A table cell escaped already (a pattern, whose backslashes stay single)."""


def table(headers: Sequence[str], rows: Iterable[Sequence[object]]) -> str:
    """Left-aligned columns two spaces apart, a rule under the headers; cells are escaped
    unless they are ``Escaped``."""
    cells = [[cell if isinstance(cell, Escaped) else escape(str(cell)) for cell in row]
             for row in (headers, *rows)]
    widths = [max(len(cell) for cell in column) for column in zip(*cells)]
    lines = ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in cells]
    lines.insert(1, "  ".join("-" * width for width in widths).rstrip())
    return "\n".join(lines)


# --- JSON ------------------------------------------------------------------------------------

def without_lone_surrogates(value: object) -> object:
    """``value`` with every lone surrogate in its texts (keys included) replaced by U+FFFD.

    JSON carries text as Unicode; a lone surrogate (what the interpreter makes of bytes
    that are not UTF-8) would be written as an escape such as ``\\udce9`` that strict
    parsers refuse."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in value)
        return value
    if isinstance(value, dict):
        return {without_lone_surrogates(k): without_lone_surrogates(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [without_lone_surrogates(item) for item in value]
    return value


def json_document(value: object) -> None:
    """Writes ``value`` as one JSON document (indented, ASCII, no lone surrogates; strict
    JSON: a NaN or an infinity is an error here, never written)."""
    line(json.dumps(without_lone_surrogates(value), indent=2, ensure_ascii=True, allow_nan=False))
