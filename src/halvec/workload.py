"""Task descriptions read from a file or a stream, in batches, with every line accounted for.

Four formats: JSONL (one JSON object per line, the description under a named field, with
optional ``"id"``, ``"model"``, ``"input_tokens"`` and ``"output_tokens"``, which may be
named ``"prompt_tokens"`` and ``"completion_tokens"`` instead, or given in a ``"usage"``
object as OpenAI's and Anthropic's APIs report them; a chat record, with ``"messages"`` and
no description field, gives its last user message that holds text), a JSON file holding one
array of such objects, CSV (or TSV) with a header row (the same names as columns) and plain
text (one description per line). A token count is a whole number, 0 or more; a number with a
fraction of zero (``12.0``) is one. A record's model is a request when it names a catalogue
model (by its key, or as its provider or LiteLLM names it); another name is counted, and the
task requests nothing. The input is UTF-8; a byte-order mark at its start
is dropped; gzip-compressed input is recognised by its first bytes and read as it is
decompressed; input whose first bytes show it is not text (NUL bytes, another compressed or
binary format) is refused whole. It is read in blocks of about a megabyte, so memory stays
flat whatever its size, and handed on as :class:`Batch` columns.

Every line is one of: a task, a blank line (counted), or a bad line. A bad line raises
:class:`InputProblem`, which names the source and the line, unless the reader skips bad
lines, when it is counted and the first few are kept with their problem. Bytes that are not
UTF-8 are a bad line too, unless they are read as U+FFFD (``encoding_errors="replace"``),
which is counted by line. A line longer than :data:`MAX_LINE` bytes is a bad line, read no
further than that limit (so is a JSON array's record, and a CSV cell), so memory stays bounded
whatever the input holds.

JSON is read with ``orjson`` when it is installed and the standard library's ``json``
otherwise; a line ``orjson`` refuses is read again with ``json``, whose rules decide (so
both read the same files the same way, lone surrogates and NaN included). An ``"id"`` that
holds NaN or an infinity is a bad line: what is written about the task is strict JSON,
which has neither.
"""

from __future__ import annotations

import codecs
import collections
import csv
import gzip
import importlib
import itertools
import json
import math
import os
import re
import sys
import zlib
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping
from dataclasses import dataclass
from functools import partial
from operator import is_, is_not, itemgetter
from typing import Any, BinaryIO, Final, Literal, cast

__all__ = ["BLOCK_SIZE", "BadLine", "Batch", "EncodingErrors", "Format", "InputProblem", "KEPT_BAD_LINES",
           "KEPT_MODEL_NAMES", "MAX_LINE", "TaskReader", "conversation_tokens", "fast_json", "format_for", "loads",
           "open_source"]

Format = Literal["jsonl", "json", "csv", "tsv", "text"]
EncodingErrors = Literal["strict", "replace"]

BLOCK_SIZE: Final = 1 << 20
"""Bytes read at a time."""
KEPT_BAD_LINES: Final = 20
"""How many skipped bad lines are kept with their problem (all are counted)."""
KEPT_MODEL_NAMES: Final = 1000
"""How many different model names outside the catalogue are counted by name (the tasks that
name any are all counted)."""
MAX_LINE: Final = 8 << 20
"""The most bytes a line (a record of a JSON array, a CSV cell) may have: a longer one is a
bad line, and what is read of it is bounded by this."""
TOO_LONG: Final = f"longer than {MAX_LINE:,} bytes, the most a line may have"

_BOM = b"\xef\xbb\xbf"
_NONE_TYPE = type(None)


def _json_loads() -> tuple[Callable[[str | bytes], Any], bool]:
    try:
        module = importlib.import_module("orjson")
    except ImportError:
        return json.loads, False
    fast: Callable[[str | bytes], Any] = module.loads
    return fast, True


_fast_loads, _HAVE_ORJSON = _json_loads()


def fast_json() -> bool:
    """Whether JSON lines are read with ``orjson``."""
    return _HAVE_ORJSON


# orjson reads an integer outside [-2**63, 2**64) as the nearest float, where json keeps it
# whole: a float of this size or more in what orjson read may be such an integer.
_WHOLE_LIMIT: Final = float(1 << 63)


def _maybe_rounded(value: Any) -> bool:
    """Whether orjson's reading of a value may differ from json's, or it holds what strict
    JSON cannot: a float that may be a long integer rounded, or is not finite, anywhere
    inside it."""
    kind = type(value)
    if kind is float:
        return not -_WHOLE_LIMIT < value < _WHOLE_LIMIT
    try:
        if kind is list:
            return any(map(_maybe_rounded, value))
        if kind is dict:
            return any(map(_maybe_rounded, value.values()))
    except RecursionError:
        return True
    return False


def loads(line: str) -> Any:
    """One JSON text as the standard library reads it (``orjson`` first, when installed)."""
    try:
        value = _fast_loads(line)
    except (ValueError, TypeError, RecursionError):
        if _fast_loads is json.loads:
            raise
    else:
        if _fast_loads is json.loads or not _maybe_rounded(value):
            return value
    return json.loads(line)


def format_for(name: str, first_line: bytes) -> Format:
    """The format a source is in, by its name (``.jsonl``, ``.ndjson``, ``.json``, ``.csv``,
    ``.tsv``, ``.txt``; a ``.gz`` after it is left aside) and the start of its first line that
    is not blank: a ``.json`` file, or one whose name says nothing (standard input), is a JSON
    array when that line starts with ``[``, and JSONL when it starts with ``{``; a name that
    says nothing with any other start is text."""
    lower = name.lower().removesuffix(".gz")
    start = first_line.removeprefix(_BOM).lstrip()[:1]
    if lower.endswith((".jsonl", ".ndjson")):
        return "jsonl"
    if lower.endswith(".csv"):
        return "csv"
    if lower.endswith(".tsv"):
        return "tsv"
    if lower.endswith((".txt", ".text")):
        return "text"
    if start == b"[":
        return "json"
    return "jsonl" if start == b"{" or lower.endswith(".json") else "text"


# The first bytes of files that are not text, and what they are.
_NOT_TEXT: Final = ((b"\xff\xfe", "UTF-16 text; save it as UTF-8"), (b"\xfe\xff", "UTF-16 text; save it as UTF-8"),
                    (b"BZh", "bzip2-compressed; decompress it first"),
                    (b"\xfd7zXZ\x00", "xz-compressed; decompress it first"),
                    (b"\x28\xb5\x2f\xfd", "zstd-compressed; decompress it first"),
                    (b"PK\x03\x04", "a zip archive"), (b"7z\xbc\xaf\x27\x1c", "a 7-Zip archive"),
                    (b"%PDF-", "a PDF document"))
_GZIP: Final = b"\x1f\x8b"
_BLANK: Final = b" \t\r\n\f\v"


def _not_text(start: bytes) -> str | None:
    """Why a source whose first bytes are ``start`` is not text, or None."""
    for magic, kind in _NOT_TEXT:
        if start.startswith(magic) and (magic != b"BZh" or re.match(rb"BZh[1-9]1AY&SY", start)):
            return kind
    return "it holds NUL bytes" if b"\0" in start[:8192] else None


class _Counted:
    """A stream that hands out ``first`` before the rest of ``stream``, and counts what it
    hands out (the compressed bytes read, for the progress)."""

    def __init__(self, first: bytes, stream: BinaryIO) -> None:
        self._first = first
        self._stream = stream
        self.count = 0

    def read(self, size: int = -1) -> bytes:
        if self._first:
            data, self._first = (self._first, b"") if size < 0 else (self._first[:size], self._first[size:])
        else:
            data = self._stream.read(size)
        self.count += len(data)
        return data


class _TooLong:
    """In the place of a line longer than :data:`MAX_LINE`, of which only that much was read."""


_TOO_LONG_LINE: Final = _TooLong()
_TOO_LONG_BYTE: Final = -1
"""A decoded line that is this int in the place of its text was too long (another int is the
first byte of a line that is not UTF-8)."""


@dataclass(frozen=True, slots=True)
class BadLine:
    """A line that holds no task, and why."""

    line: int
    problem: str


class InputProblem(Exception):
    """Input that cannot be read as tasks: where (the source and the line) and what."""

    def __init__(self, where: str, problem: str, line: int | None = None) -> None:
        self.where: str = where
        self.problem: str = problem
        self.line: int | None = line
        super().__init__(f"{where}, line {line}: {problem}" if line is not None else f"{where}: {problem}")

    def __reduce__(self) -> tuple[type[InputProblem], tuple[str, str, int | None]]:
        return InputProblem, (self.where, self.problem, self.line)  # sent whole from another process


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
    :func:`conversation_tokens`); None where the description is all there is to estimate from."""

    def __len__(self) -> int:
        return len(self.descriptions)

    @classmethod
    def collecting(cls) -> Batch:
        """An empty batch with every column, to add tasks to one at a time."""
        return cls([], [], [], [], [], [], [], [])


@dataclass
class _Lines:
    """Decoded lines of a byte stream, block by block."""

    stream: BinaryIO
    where: str
    errors: EncodingErrors
    block_size: int = BLOCK_SIZE
    first_line: int = 1
    """The number of the stream's first line: 1 for a whole source, more for a part that
    starts further on (which has no byte-order mark to drop); moved on past the blank lines
    :meth:`open` drops."""
    replaced_lines: int = 0
    first_replaced: int | None = None
    first_block: bytes = b""
    leading_blank_lines: int = 0
    compressed: _Counted | None = None
    """The compressed source, when ``stream`` decompresses it."""
    _read_count: int = 0
    _ended: bool = False

    @property
    def bytes_read(self) -> int:
        """Bytes of the source read so far (compressed bytes, for a compressed source)."""
        return self.compressed.count if self.compressed is not None else self._read_count

    def _read(self) -> bytes:
        # read1 hands over what a pipe holds now, up to a block, rather than waiting for a
        # whole block: tasks are counted as they arrive. The end is read once: a terminal
        # would wait for another Ctrl-D.
        if self._ended:
            return b""
        read: Callable[[int], bytes] = getattr(self.stream, "read1", None) or self.stream.read
        try:
            data = read(self.block_size)
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise InputProblem(self.where, f"cannot be read: its gzip data is damaged ({error})") from None
        except OSError as error:
            raise InputProblem(self.where, f"cannot be read: {error.strerror or error}") from None
        self._read_count += len(data)
        self._ended = not data
        return data

    def _read_at_least(self, size: int) -> bytes:
        data = self._read()
        while 0 < len(data) < size:
            more = self._read()
            if not more:
                break
            data += more
        return data

    def open(self) -> bytes:
        """Reads a whole source up to its first line that is not blank, however its bytes
        arrive: decompresses gzip, refuses what is not text, drops a byte-order mark and the
        blank lines before that line (counted). Returns the start of that line (to choose the
        format by), which :meth:`chunks` hands out again."""
        data = self._read_at_least(len(_BOM) + 1)
        if data.startswith(_GZIP):
            self.compressed = _Counted(data, self.stream)
            self.stream = cast(BinaryIO, gzip.GzipFile(fileobj=cast(BinaryIO, self.compressed), mode="rb"))
            self._ended = False
            data = self._read_at_least(len(_BOM) + 1)
        kind = _not_text(data)
        if kind is not None:
            raise InputProblem(self.where, f"not a text file ({kind})")
        data = data.removeprefix(_BOM)
        while not data.lstrip(_BLANK) and len(data) <= MAX_LINE:
            # blank so far: the whole blank lines are counted and dropped as they come
            cut = data.rfind(b"\n") + 1
            self.leading_blank_lines += data.count(b"\n", 0, cut)
            more = self._read()
            if not more:
                data = data[cut:]
                break
            data = data[cut:] + more
        blank = data[:len(data) - len(data.lstrip(_BLANK))]
        cut = blank.rfind(b"\n") + 1
        self.leading_blank_lines += blank.count(b"\n", 0, cut)
        self.first_line += self.leading_blank_lines
        self.first_block = data[cut:]
        return self.first_block

    def data(self) -> Iterator[bytes]:
        """The stream's bytes as they are read, from where :meth:`open` left it."""
        data = self.first_block or self._read()
        self.first_block = b""
        while data:
            yield data
            data = self._read()

    def chunks(self) -> Iterator[bytes | _TooLong]:
        """The stream's lines a block at a time: whole lines, without the line break after
        the last. A line longer than :data:`MAX_LINE` comes alone, as ``_TOO_LONG_LINE``;
        no more of it than that is kept."""
        pending: list[bytes] = []  # the line read so far
        size = 0
        dropping = False  # the line read so far is too long: the rest of it is dropped
        data = self.first_block or self._read()
        self.first_block = b""
        while data:
            if pending or dropping:
                end = data.find(b"\n")
                if end >= 0 and (dropping or size + end > MAX_LINE):
                    yield _TOO_LONG_LINE
                    pending, size, dropping = [], 0, False
                    data = data[end + 1:] or self._read()
                    continue
            cut = data.rfind(b"\n") if not dropping else -1
            if cut >= 0:
                pending.append(data[:cut])
                yield b"".join(pending)
                rest = data[cut + 1:]
                pending, size = ([rest], len(rest)) if rest else ([], 0)
            elif not dropping:
                pending.append(data)
                size += len(data)
            if size > MAX_LINE:
                pending, size, dropping = [], 0, True
            data = self._read()
        if dropping:
            yield _TOO_LONG_LINE
        elif pending:
            yield b"".join(pending)

    def raw_blocks(self) -> Iterator[tuple[int, list[bytes] | _TooLong]]:
        """(number of the first line, lines): the lines of a block as bytes, without their
        line break; a line too long comes alone, as ``_TOO_LONG_LINE``."""
        number = self.first_line
        for chunk in self.chunks():
            if isinstance(chunk, _TooLong):
                yield number, chunk
                number += 1
                continue
            lines = chunk.split(b"\n")
            yield number, lines
            number += len(lines)

    def blocks(self) -> Iterator[tuple[int, list[str | int]]]:
        """(number of the first line, lines): lines without their line break, each as
        :meth:`decode_line` gives it (a line too long as ``_TOO_LONG_BYTE``)."""
        for number, lines in self.raw_blocks():
            yield number, [_TOO_LONG_BYTE] if isinstance(lines, _TooLong) else self.decode(lines, number)

    def decode(self, lines: list[bytes], number: int) -> list[str | int]:
        """``lines`` (the first numbered ``number``) as text."""
        try:
            decoded: list[str | int] = list(b"\n".join(lines).decode("utf-8").split("\n"))
            return decoded
        except UnicodeDecodeError:
            return [self.decode_line(raw, number + offset) for offset, raw in enumerate(lines)]

    def decode_line(self, raw: bytes, number: int) -> str | int:
        """One line as text, with U+FFFD in place of what is not UTF-8 when replacement is
        asked for; otherwise, for a line that is not UTF-8, its first bad byte: the reader
        reports it (see :func:`line_problem`) when it reaches the line, so that problems are
        reported in the order of the lines, and nothing is kept per line meanwhile."""
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError as error:
            if self.errors != "replace":
                return raw[error.start]
        self.replaced(number)
        return raw.decode("utf-8", "replace")

    def replaced(self, number: int, lines: int = 1) -> None:
        """Counts ``lines`` lines read with U+FFFD, the first numbered ``number``."""
        self.replaced_lines += lines
        if self.first_replaced is None:
            self.first_replaced = number


def not_utf8(byte: int, setting_names: Mapping[str, str] | None = None) -> str:
    """The problem of a line whose first byte that is not UTF-8 is ``byte`` (``setting_names``
    as for :class:`TaskReader`)."""
    return (f"not valid UTF-8 (byte 0x{byte:02x}); {_named(setting_names, 'encoding_errors')} replace reads it with "
            f"U+FFFD in its place")


def line_problem(code: int, setting_names: Mapping[str, str] | None = None) -> str:
    """The problem of a line that :meth:`_Lines.blocks` gave as the int ``code``."""
    return TOO_LONG if code == _TOO_LONG_BYTE else not_utf8(code, setting_names)


def _named(names: Mapping[str, str] | None, setting: str) -> str:
    return setting if names is None else names.get(setting, setting)


class TaskReader:
    """Reads tasks from ``stream`` (binary), named ``where`` in messages.

    ``name`` is the source as the user named it (``-`` for standard input). ``fmt`` is the
    format (None: chosen by :func:`format_for` from ``name`` and the first line that is not
    blank, or CSV when a ``delimiter`` is given); ``field`` the JSON field or CSV column of the
    description (None: ``"description"``, or for a JSON record without it that has
    ``"messages"``, its last user message that holds text); ``delimiter`` the character
    between CSV cells (default: a comma, a tab for TSV). ``model_field`` is the field or column
    that names the model a task requests (None: none is read); ``models`` the catalogue's
    model keys, or a mapping of the names a task may give a model by to its key (``"auto"``
    and an empty name, which leave the choice to the router, are always requests). Any other
    name is not an error: the task requests no model, and the name is counted
    (:attr:`outside_catalogue`). ``size`` is the stream's size in bytes, when known, for
    :attr:`fraction_read`. ``first_line`` numbers the stream's first line, for a stream that
    is a part of a source starting at that line (JSONL or text; a CSV record may span lines
    and a JSON array is one value, so those are read whole). A whole source that is not text,
    or cannot be read, raises :class:`InputProblem` when its start is read: here when the
    format is to be chosen. Messages name the settings that mend a problem (``field``,
    ``encoding_errors``) so, or as ``setting_names`` says (a command line passes its options).
    """

    def __init__(self, stream: BinaryIO, where: str, *, name: str | None = None, fmt: Format | None = None,
                 field: str | None = None, delimiter: str | None = None,
                 models: Collection[str] | Mapping[str, str] = (), model_field: str | None = "model",
                 skip_bad: bool = False, encoding_errors: EncodingErrors = "strict", size: int | None = None,
                 block_size: int = BLOCK_SIZE, first_line: int = 1,
                 setting_names: Mapping[str, str] | None = None) -> None:
        self.where: str = where
        self.setting_names: Mapping[str, str] | None = setting_names
        self.name: str = name if name is not None else where
        self.field: str = field if field is not None else "description"
        self._chat = field is None
        self.skip_bad: bool = skip_bad
        self.size: int | None = size
        if first_line < 1:
            raise ValueError(f"lines are numbered from 1, not {first_line}")
        self._lines = _Lines(stream, where, encoding_errors, block_size, first_line)
        self._opened = first_line != 1  # a part of a source has no start to look at
        if fmt is None:
            fmt = format_for(name or "", self._open()[:16])
            if delimiter is not None and fmt not in ("csv", "tsv"):
                fmt = "csv"
        self.format: Format = fmt
        self.delimiter: str = delimiter if delimiter is not None else "\t" if fmt == "tsv" else ","
        if first_line != 1 and self.format in ("csv", "tsv", "json"):
            raise ValueError("CSV and a JSON array are read whole: a record may span lines")
        self.model_field: str | None = model_field
        # the request each name a task may give stands for; the names that are requests as
        # they stand (a task that names no model has None)
        self._requests: dict[str | None, str | None] = {}
        self._requests.update(models.items() if isinstance(models, Mapping) else ((key, key) for key in models))
        self._requests.update({"auto": "auto", "": "", None: None})
        self._as_they_stand = frozenset(name for name, request in self._requests.items() if name == request)
        self.tasks: int = 0
        self.blank_lines: int = 0
        self.bad_lines: int = 0
        self.kept_bad_lines: list[BadLine] = []
        self.chat_tasks: int = 0
        """Tasks whose description is a chat record's last user message, not a field's."""
        self.outside_catalogue: dict[str, int] = {}
        """The model names outside the catalogue that tasks gave, with their tasks: the first
        :data:`KEPT_MODEL_NAMES` different names met (a longer name cut short)."""
        self.outside_catalogue_tasks: int = 0
        """The tasks that named a model outside the catalogue (those whose name was not kept too)."""

    def _open(self) -> bytes:
        """The source's start (see :meth:`_Lines.open`), read once: when the format is to be
        chosen, else when the first batch is asked for."""
        if self._opened:
            return self._lines.first_block
        self._opened = True
        return self._lines.open()

    # --- what was read ---

    @property
    def bytes_read(self) -> int:
        return self._lines.bytes_read

    @property
    def fraction_read(self) -> float | None:
        """How much of the stream has been read, when its size is known."""
        if not self.size:
            return None
        return min(1.0, self.bytes_read / self.size)

    @property
    def compressed(self) -> bool:
        """Whether the source is compressed (its start is read to know)."""
        self._open()
        return self._lines.compressed is not None

    @property
    def replaced_lines(self) -> int:
        """Lines in which bytes that are not UTF-8 were read as U+FFFD."""
        return self._lines.replaced_lines

    @property
    def first_replaced_line(self) -> int | None:
        return self._lines.first_replaced

    def batches(self) -> Iterator[Batch]:
        """The tasks, batch by batch, in the order of the input."""
        self._open()
        self.blank_lines += self._lines.leading_blank_lines
        reader = {"jsonl": self._jsonl, "json": self._array, "csv": self._csv, "tsv": self._csv,
                  "text": self._text}[self.format]
        for batch in reader():
            self.tasks += len(batch)
            if batch.descriptions:
                yield batch

    def _bad(self, line: int, problem: str) -> None:
        if not self.skip_bad:
            raise InputProblem(self.where, problem, line)
        self.bad_lines += 1
        if len(self.kept_bad_lines) < KEPT_BAD_LINES:
            self.kept_bad_lines.append(BadLine(line, problem))

    # --- plain text ---

    def _text(self) -> Iterator[Batch]:
        for number, lines in self._lines.blocks():
            numbers: list[int] = []
            descriptions: list[str] = []
            for offset, line in enumerate(lines):
                if isinstance(line, int):
                    self._bad(number + offset, line_problem(line, self.setting_names))
                    continue
                if line.endswith("\r"):
                    line = line[:-1]
                if not line or line.isspace():
                    self.blank_lines += 1
                    continue
                numbers.append(number + offset)
                descriptions.append(line)
            yield Batch(numbers, descriptions)

    # --- JSONL ---

    def _jsonl(self) -> Iterator[Batch]:
        describe = itemgetter(self.field)
        number = self._lines.first_line
        for chunk in self._lines.chunks():
            if isinstance(chunk, _TooLong):
                self._bad(number, TOO_LONG)
                number += 1
                continue
            if _HAVE_ORJSON:
                # orjson reads the bytes (and checks they are UTF-8) itself, the whole chunk
                # in one call; a chunk it cannot read so is read line by line, every bad line
                # found and reported
                records = _records_of(chunk)
                if records is None:
                    raw = chunk.split(b"\n")
                    first, number = number, number + len(raw)
                    yield self._jsonl_slowly(first, raw)
                    continue
                first, number = number, number + len(records)
                batch = self._batch(first, records, describe)
                yield batch if batch is not None else self._jsonl_slowly(first, chunk.split(b"\n"))
                continue
            raw = chunk.split(b"\n")
            lines = self._lines.decode(raw, number)  # json is given text
            first, number = number, number + len(lines)
            try:
                records = list(map(json.loads, lines))  # type: ignore[arg-type]  # an int: refused, see below
            except (ValueError, TypeError, RecursionError):
                batch = None
            else:
                batch = self._batch(first, records, describe)
            yield batch if batch is not None else self._jsonl_slowly(first, lines)

    def _batch(self, first: int, records: list[Any], describe: Callable[[Any], Any]) -> Batch | None:
        """The batch of ``records``, the first read from line ``first``; None if any is one
        the slow path must look at."""
        try:
            descriptions = list(map(describe, records))
        except (TypeError, KeyError, IndexError):
            return None
        if set(map(type, descriptions)) != {str}:
            return None
        batch = Batch(list(range(first, first + len(records))), descriptions)
        return batch if self._columns(batch, records) else None

    def _columns(self, batch: Batch, records: list[dict[str, Any]]) -> bool:
        """Fills the optional columns from ``records``; False if any value is one the slow
        path must look at (to report it, or to find it is fine). Reads only what
        :meth:`_add` reads, so that both find the same problems."""
        get = dict.get
        # a column equal to this one is absent (the comparison stops at the first value)
        absent = [None] * len(records)
        ids = list(map(get, records, itertools.repeat("id")))
        if not set(map(type, ids)).isdisjoint((float, list, dict)) and any(map(_maybe_rounded, ids)):
            return False  # NaN or an infinity, or a long integer orjson rounded perhaps
        if ids != absent:
            batch.ids = ids
        tools = list(map(get, records, itertools.repeat("tools")))
        if tools != absent:
            batch.tool_counts = [len(value) if type(value) is list else None for value in tools]
        usages: list[dict[str, Any]] | None = None  # read only for counts the flat fields leave out
        for column, (name, alias) in enumerate(_TOKEN_FIELDS):
            counts = list(map(get, records, itertools.repeat(name)))
            kinds = set(map(type, counts))
            if _NONE_TYPE in kinds:
                aliased = list(map(get, records, itertools.repeat(alias)))
                if aliased != absent:
                    counts = [a if c is None else c for c, a in zip(counts, aliased)]
                    kinds = set(map(type, counts))
            if _NONE_TYPE in kinds:
                if usages is None:
                    found = _usage_objects(list(map(get, records, itertools.repeat(_USAGE))), absent)
                    if found is None:
                        return False
                    usages = found
                if usages:
                    used = _usage_column(usages, column)
                    if used is None:
                        return False
                    counts = used if counts == absent else [u if c is None else c for c, u in zip(counts, used)]
                    kinds = set(map(type, counts))
            if counts == absent:
                continue
            if float in kinds:  # (one past 2**63 may be orjson's rounding of a long integer: read again)
                if not kinds <= {int, float, _NONE_TYPE} or not all(
                        c.is_integer() and not _maybe_rounded(c) for c in counts if type(c) is float):
                    return False
                counts = [int(c) if type(c) is float else c for c in counts]
                kinds = set(map(type, counts))
            if not kinds <= {int, _NONE_TYPE}:
                return False
            present: Iterable[Any] = filter(partial(is_not, None), counts) if _NONE_TYPE in kinds else counts
            if min(present) < 0:
                return False
            setattr(batch, name, counts)
        # last: the names outside the catalogue are counted only once the batch is taken
        if self.model_field is not None:
            models = list(map(get, records, itertools.repeat(self.model_field)))
            if models != absent:
                try:
                    named = set(models)
                except TypeError:  # unhashable: not a name
                    return False
                if not named <= self._as_they_stand:
                    if not all(type(name) is str for name in named if name is not None):
                        return False
                    requests = list(map(self._requests.get, models, itertools.repeat(_OUTSIDE)))
                    outside = itertools.compress(models, map(is_, requests, itertools.repeat(_OUTSIDE)))
                    self._count_outside(cast(list[str], list(outside)))
                    models = [None if request is _OUTSIDE else request for request in requests]
                batch.models = models
        return True

    def _count_outside(self, names: list[str]) -> None:
        """Counts the tasks that named these models outside the catalogue."""
        if not names:
            return
        self.outside_catalogue_tasks += len(names)
        counts = self.outside_catalogue
        for name, n in collections.Counter(names).items():
            if len(name) > _NAME_KEPT:
                name = name[:_NAME_KEPT] + "..."
            if name in counts or len(counts) < KEPT_MODEL_NAMES:
                counts[name] = counts.get(name, 0) + n

    def _jsonl_slowly(self, number: int, lines: list[bytes] | list[str | int]) -> Batch:
        """A block line by line (as bytes, or decoded already): every bad line found and
        reported."""
        batch = Batch.collecting()
        for offset, data in enumerate(lines):
            at = number + offset
            line = self._lines.decode_line(data, at) if isinstance(data, bytes) else data
            if isinstance(line, int):
                self._bad(at, line_problem(line, self.setting_names))
                continue
            if not line or line.isspace():
                self.blank_lines += 1
                continue
            try:
                record = loads(line)
            except json.JSONDecodeError as error:
                self._bad(at, f"not JSON: {error.msg} (column {error.colno})")
                continue
            except (ValueError, RecursionError) as error:
                self._bad(at, f"not JSON: {error}")
                continue
            self._record(batch, at, record)
        return _trimmed(batch)

    def _record(self, batch: Batch, at: int, record: Any) -> None:
        """One JSON value's task into ``batch``, or a bad line."""
        if not isinstance(record, dict):
            self._bad(at, f"not a JSON object but {_describe(record)}")
            return
        ident = record.get("id")
        if _maybe_rounded(ident) and not _finite(ident):
            self._bad(at, "the field \"id\" holds NaN or an infinity, which strict JSON cannot carry; "
                          "give the id as a text (\"NaN\")")
            return
        if self.field not in record and self._chat and "messages" in record:
            description, problem = _last_user_message(record["messages"])
            if description is None:
                self._bad(at, problem)
                return
            if self._add(batch, at, {**record, self.field: description}, "field", conversation_tokens(record)):
                self.chat_tasks += 1
            return
        self._add(batch, at, record, "field")

    def _add(self, batch: Batch, at: int, record: dict[str, Any], kind: str, estimate: int | None = None,
             get: Callable[[str], Any] | None = None) -> bool:
        """One record's task into ``batch``, or a bad line (False). ``kind`` is ``"field"`` for
        a JSON record, ``"column"`` for a CSV record (read through ``get``); ``estimate`` the
        input estimate of a chat record."""
        if get is None:
            get = record.get
        if self.field not in record:
            fields = ", ".join(map(_show_name, list(record)[:10])) + (", ..." if len(record) > 10 else "")
            self._bad(at, f"no {kind} {_show_name(self.field)} ({kind}s: {fields or 'none'}); "
                          f"{_named(self.setting_names, 'field')} names the {kind} that holds the description")
            return False
        description = get(self.field)
        if not isinstance(description, str):
            self._bad(at, f"the {kind} {_show_name(self.field)} is {_describe(description)}, not a text")
            return False
        model = get(self.model_field) if self.model_field is not None else None
        if model is not None and not isinstance(model, str):
            self._bad(at, f"the {kind} {_show_name(cast(str, self.model_field))} is {_describe(model)}, not the "
                          f"name of a model")
            return False
        outside = model not in self._requests
        counts: list[int | None] = []
        usage: Any = _UNREAD
        for column, (name, alias) in enumerate(_TOKEN_FIELDS):
            value = get(name)
            if value is None:
                value = get(alias)
                if value is not None:
                    name = alias
            if value is None and kind == "field":
                if usage is _UNREAD:
                    usage = get(_USAGE)
                if usage is not None:
                    if not isinstance(usage, dict):
                        self._bad(at, f"the field \"{_USAGE}\" is {_describe(usage)}, not an object of token counts")
                        return False
                    count, problem = _usage_count(usage, column)
                    if problem is not None:
                        self._bad(at, problem)
                        return False
                    counts.append(count)
                    continue
            count = _token_count(value, text=kind == "column")
            if count is not None and count < 0:
                self._bad(at, _not_a_count(f"the {kind} \"{name}\"", value))
                return False
            counts.append(count)
        if outside:
            self._count_outside([cast(str, model)])
        batch.lines.append(at)
        batch.descriptions.append(description)
        assert batch.ids is not None and batch.models is not None and batch.input_estimates is not None
        assert batch.input_tokens is not None and batch.output_tokens is not None
        batch.ids.append(get("id"))
        batch.models.append(None if outside else self._requests[model])
        batch.input_tokens.append(counts[0])
        batch.output_tokens.append(counts[1])
        batch.input_estimates.append(estimate)
        if batch.tool_counts is not None:
            tools = get("tools") if kind == "field" else None
            batch.tool_counts.append(len(tools) if type(tools) is list else None)
        return True

    # --- a JSON array ---

    def _array(self) -> Iterator[Batch]:
        """The records of a JSON array, each read once it is whole and numbered by the line
        where it starts. A fault of the array itself (a record that is not JSON, or longer than
        :data:`MAX_LINE`, or what is not between the records) stops the reading even when bad
        lines are skipped: the records after it cannot be found."""
        decoder = json.JSONDecoder()
        utf8 = codecs.getincrementaldecoder("utf-8")("surrogateescape")  # bad bytes kept, as lone surrogates
        blocks = self._lines.data()
        text, pos, line = "", 0, self._lines.first_line  # line: the line of text[pos]
        ended = dirty = False

        def more() -> bool:
            nonlocal text, pos, ended, dirty
            data = next(blocks, b"")
            added = utf8.decode(data, final=not data)
            dirty = dirty or _SURROGATE.search(added) is not None
            text, pos, ended = text[pos:] + added, 0, not data
            return bool(data)

        def skip() -> str:
            """Past the blanks: the next character ("" at the end)."""
            nonlocal pos, line
            while True:
                end = _JSON_BLANK.match(text, pos).end()  # type: ignore[union-attr]  # always matches
                line += text.count("\n", pos, end)
                pos = end
                if pos < len(text) or not more():
                    return text[pos:pos + 1]

        def stop(problem: str, at: int) -> InputProblem:
            return InputProblem(self.where, problem, at)

        if skip() != "[":
            raise stop("not JSON: a JSON array starts with [", line)
        pos += 1
        batch = Batch.collecting()
        following = skip() != "]"
        if not following:
            pos += 1  # an empty array
        while following:
            at = line
            while True:
                try:
                    value, end = decoder.raw_decode(text, pos)
                    if end < len(text) or ended:
                        break  # whole (a number at the end of the text may go on)
                except json.JSONDecodeError as error:
                    cut_short = error.msg.startswith("Unterminated string") or len(text) - error.pos <= 16
                    if ended or not cut_short:
                        raise stop(f"not JSON: {error.msg}", line + text.count("\n", pos, error.pos)) from None
                except RecursionError:
                    raise stop("not JSON: nested too deeply", at) from None
                if len(text) - pos > MAX_LINE:
                    raise stop(f"a record {TOO_LONG.removeprefix('longer')}", at)
                more()
            source = text[pos:end]
            line += source.count("\n")
            pos = end
            if dirty and _SURROGATE.search(source):
                value = self._undecodable(batch, at, source)
            if value is not _SKIPPED:
                self._record(batch, at, value)
            separator = skip()
            if separator not in (",", "]"):
                raise stop("not JSON: a record is followed by neither , nor ]" if separator
                           else "not JSON: the array ends without its closing ]", line)
            pos += 1
            following = separator == ","
            if following:
                skip()
            if len(batch.descriptions) >= _RECORD_BATCH or not following:
                yield _trimmed(batch)
                batch = Batch.collecting()
        if skip():
            raise stop("not JSON: there is more after the array's end", line)

    def _undecodable(self, batch: Batch, at: int, source: str) -> Any:
        """A record whose text holds bytes that are not UTF-8 (as lone surrogates): read with
        U+FFFD in their place when replacement is asked for, else a bad line."""
        lines = source.split("\n")
        bad = [n for n, text in enumerate(lines) if _SURROGATE.search(text)]
        if self._lines.errors != "replace":
            byte = ord(_SURROGATE.search(lines[bad[0]]).group()) - 0xDC00  # type: ignore[union-attr]
            self._bad(at + bad[0], not_utf8(byte, self.setting_names))
            return _SKIPPED
        self._lines.replaced(at + bad[0], len(bad))
        try:
            return json.loads(source.encode("utf-8", "surrogateescape").decode("utf-8", "replace"))
        except (ValueError, RecursionError) as error:
            self._bad(at, f"not JSON: {error}")
            return _SKIPPED

    # --- CSV ---

    def _csv(self) -> Iterator[Batch]:
        # The lines csv has read that are not UTF-8 (their first bad byte) or too long, whose
        # record is not yet taken: a record at a time, so it stays small.
        undecodable: dict[int, int] = {}

        def lines() -> Iterator[str]:
            # every line of the input, in order: csv's line count is the line number. A line
            # that is not UTF-8 is handed over with its bytes as lone surrogates, so that its
            # quotes and delimiters are where they are, and its record is a bad line.
            for number, block in self._lines.raw_blocks():
                if isinstance(block, _TooLong):
                    undecodable[number] = _TOO_LONG_BYTE
                    yield "\n"
                    continue
                for offset, line in enumerate(self._lines.decode(block, number)):
                    if isinstance(line, int):
                        undecodable[number + offset] = line
                        line = block[offset].decode("utf-8", "surrogateescape")
                    yield line + "\n"

        limit = csv.field_size_limit()
        csv.field_size_limit(MAX_LINE)  # a quoted cell left open cannot take the rest of the input
        base = self._lines.first_line - 1  # csv counts from the first line it is given
        try:
            rows = csv.reader(lines(), strict=True, delimiter=self.delimiter)
            last = base  # the last line of the previous record

            def record_lines() -> tuple[int, int]:
                nonlocal last
                first, last = last + 1, base + rows.line_num
                return first, last

            def problem_in(first: int, end: int) -> tuple[int, str] | None:
                """The first line of a record that is not UTF-8 or too long, and its problem."""
                bad = [n for n in range(first, end + 1) if n in undecodable] if undecodable else []
                return (bad[0], line_problem(undecodable[bad[0]], self.setting_names)) if bad else None

            header: list[str] | None = None
            while header is None:
                try:
                    row = next(rows)
                except StopIteration:
                    return
                except csv.Error as error:
                    raise InputProblem(self.where, f"not CSV: {error}", last + 1) from None
                first, end = record_lines()
                found = problem_in(first, end)
                if found is not None:
                    raise InputProblem(self.where, found[1], found[0])
                if not any(cell.strip() for cell in row):
                    self.blank_lines += end - first + 1
                    continue
                header = row
            twice = next((name for name in (self.field, self.model_field, "id", *itertools.chain(*_TOKEN_FIELDS))
                          if name is not None and header.count(name) > 1), None)
            if twice is not None:
                raise InputProblem(self.where, f"the column {_show_name(twice)} is in the header twice: which one "
                                               f"holds it cannot be told", first)
            if self.field not in header:
                shown = ", ".join(map(_show_name, header[:10])) + (", ..." if len(header) > 10 else "")
                raise InputProblem(self.where, f"no column {_show_name(self.field)} in the header "
                                               f"(columns: {shown}); {_named(self.setting_names, 'field')} names "
                                               f"the column that holds the description", first)
            batch = Batch.collecting()
            while True:
                try:
                    row = next(rows)
                except StopIteration:
                    break
                except csv.Error as error:
                    first, end = record_lines()
                    found = problem_in(first, end)
                    for n in range(first, end + 1):
                        undecodable.pop(n, None)
                    if found is None:
                        found = first, f"not CSV: {error}"
                    self._bad(*found)
                    continue
                first, end = record_lines()
                found = problem_in(first, end)
                if found is not None:
                    for n in range(first, end + 1):
                        undecodable.pop(n, None)
                    self._bad(*found)
                elif not any(cell.strip() for cell in row):
                    self.blank_lines += end - first + 1
                elif len(row) != len(header):
                    self._bad(first, f"{len(row)} cell{'s' if len(row) != 1 else ''} where the header has "
                                     f"{len(header)}")
                else:
                    record = dict(zip(header, row))
                    self._add(batch, first, record, "column", get=partial(_cell, record, self.field))
                if len(batch.descriptions) >= _CSV_BATCH:
                    yield _trimmed(batch)
                    batch = Batch.collecting()
            yield _trimmed(batch)
        finally:
            csv.field_size_limit(limit)


_CSV_BATCH = 4096
_RECORD_BATCH = 4096
_JSON_BLANK = re.compile(r"[ \t\n\r]*")
_SURROGATE = re.compile("[\udc80-\udcff]")
_SKIPPED = object()

# The names a token count is read under: the second when the first is absent; the same
# inside a "usage" object (OpenAI's chat completions name them prompt_tokens and
# completion_tokens, Anthropic's messages input_tokens and output_tokens), which is read for a
# count the record's own fields do not give.
_TOKEN_FIELDS: Final = (("input_tokens", "prompt_tokens"), ("output_tokens", "completion_tokens"))
_USAGE: Final = "usage"
# Anthropic's input_tokens leaves out the prompt tokens read from or written to its cache;
# OpenAI's prompt_tokens counts them. Both count all the tokens the model was sent.
_CACHE_FIELDS: Final = ("cache_creation_input_tokens", "cache_read_input_tokens")
_WHOLE_TEXT: Final = re.compile(r"([0-9]+)(?:\.0*)?")
_OUTSIDE: Final = object()
"""The request of a model name outside the catalogue."""
_UNREAD: Final = object()
_NAME_KEPT: Final = 200
"""The characters of a model name outside the catalogue that are kept: a longer one is cut."""


def _token_count(value: Any, *, text: bool) -> int | None:
    """A record's token count: None for none; -1 for a value that is not a count. A number
    with a fraction of zero is one (12.0); in a CSV cell, digits with such a fraction."""
    if value is None:
        return None
    kind = type(value)
    if kind is int:
        return value if value >= 0 else -1
    if kind is float:
        return int(value) if value.is_integer() and value >= 0 else -1
    if text and kind is str:
        if value == "":
            return None
        whole = _WHOLE_TEXT.fullmatch(value)
        if whole is not None:
            try:
                return int(whole[1])
            except ValueError:  # more digits than int() reads
                return -1
    return -1


def _not_a_count(where: str, value: Any) -> str:
    return f"{where} is {_describe(value)}, not a count of tokens (a whole number, 0 or more)"


def _usage_count(usage: dict[str, Any], column: int) -> tuple[int | None, str | None]:
    """The input (column 0) or output (1) count a ``"usage"`` object gives: (count or None,
    None), or (None, the problem of a value that is not a count)."""
    name, alias = _TOKEN_FIELDS[column]
    value = usage.get(name)
    if value is None:
        value = usage.get(alias)
        if value is None:
            return None, None
        name = alias
    count = _token_count(value, text=False)
    if count is None or count < 0:
        return None, _not_a_count(f"the field \"{_USAGE}\".\"{name}\"", value)
    if name == "input_tokens":
        for extra in _CACHE_FIELDS:
            value = usage.get(extra)
            more = _token_count(value, text=False)
            if more is not None and more < 0:
                return None, _not_a_count(f"the field \"{_USAGE}\".\"{extra}\"", value)
            count += more or 0
    return count, None


def _usage_objects(values: list[Any], absent: list[None]) -> list[dict[str, Any]] | None:
    """Each record's ``"usage"`` as an object (an empty one where it has none); an empty list
    when no record has one, None when one is not an object."""
    if values == absent:
        return []
    if not set(map(type, values)) <= _USAGE_KINDS:
        return None
    return [_NO_USAGE if value is None else value for value in values]


def _usage_column(usages: list[dict[str, Any]], column: int) -> list[Any] | None:
    """The input (column 0) or output (1) count of each ``"usage"`` object (None where it
    gives none), as :func:`_usage_count` reads it, a column at a time; the values are not
    checked (the caller checks the column). None when a cache count is to be added that is
    not a count, or to what is not one."""
    name, alias = _TOKEN_FIELDS[column]
    counts = list(map(dict.get, usages, itertools.repeat(name)))
    if counts.count(None) == len(counts):  # none of them in this shape: all in the other, or none
        return list(map(dict.get, usages, itertools.repeat(alias)))
    if name == "input_tokens":
        for extra in _CACHE_FIELDS:
            more = list(map(dict.get, usages, itertools.repeat(extra)))
            if more.count(None) == len(more):
                continue
            if not all(type(c) is int and type(m) is int and c >= 0 and m >= 0
                       for c, m in zip(counts, more) if m is not None):
                return None
            counts = [c if m is None else c + m for c, m in zip(counts, more)]
    if None in counts:
        aliased = list(map(dict.get, usages, itertools.repeat(alias)))
        counts = [a if c is None else c for c, a in zip(counts, aliased)]
    return counts


_USAGE_KINDS: Final = frozenset([dict, type(None)])
_NO_USAGE: Final[dict[str, Any]] = {}


# Put between the lines of a chunk read in one call: a string no line holds by chance.
_SEPARATOR_TEXT: Final = os.urandom(16).hex()
_SEPARATOR: Final = b',"' + _SEPARATOR_TEXT.encode() + b'",'


def _records_of(chunk: bytes) -> list[Any] | None:
    """The JSON values of a chunk's lines, read by orjson in one call (faster than a call a
    line), or None when that reading might not be the lines' own: a line that is not one
    whole JSON value (blank, two values, a value that runs on over the next line), or one
    orjson refuses. The lines are read as one array with a separator between each two; the
    values are the lines' only if every separator put in is found, between two values."""
    joined = b"[" + chunk.replace(b"\n", _SEPARATOR) + b"]"
    breaks = (len(joined) - 2 - len(chunk)) // (len(_SEPARATOR) - 1)
    try:
        values: list[Any] = _fast_loads(joined)
    except (ValueError, RecursionError):
        return None
    if len(values) != 2 * breaks + 1 or values[1::2].count(_SEPARATOR_TEXT) != breaks:
        return None
    return values[0::2]


def _finite(value: Any) -> bool:
    """Whether no float inside ``value`` is NaN or an infinity."""
    kind = type(value)
    if kind is float:
        return math.isfinite(value)
    try:
        if kind is list:
            return all(map(_finite, value))
        if kind is dict:
            return all(map(_finite, value.values()))
    except RecursionError:
        return False
    return True


def _last_user_message(messages: Any) -> tuple[str | None, str]:
    """A chat record's description: the text of its last message from the user that holds
    text (its content, or the texts of its parts of type "text", joined by line breaks); else
    None and why. A user message whose parts hold no text (an image alone, a tool's result)
    is passed over for the one before it."""
    if not isinstance(messages, list):
        return None, f"\"messages\" is {_describe(messages)}, not a list of messages"
    last = True
    without: list[str] = []  # the kinds of part of the last user message, when it holds no text
    for message in reversed(messages):
        if not isinstance(message, dict) or message.get("role") != "user":
            continue
        content = message.get("content")
        if isinstance(content, str):
            return content, ""
        which = "the last user message" if last else "a user message"
        if not isinstance(content, list):
            return None, (f"{which} of \"messages\" has {_describe(content)} as its \"content\", not a text "
                          f"or a list of parts")
        texts = [part.get("text") for part in content if isinstance(part, dict) and part.get("type") == "text"]
        if not all(isinstance(text, str) for text in texts):
            return None, f"{which} of \"messages\" has a part of type \"text\" whose \"text\" is not a text"
        if texts:
            return "\n".join(cast(list[str], texts)), ""
        if last:
            without = sorted({str(part.get("type")) if isinstance(part, dict) else _describe(part)
                              for part in content})
        last = False
    if last:
        return None, "no message of \"messages\" has the role \"user\": no description"
    parts = f"only parts of type {', '.join(map(_show_name, without))}" if without else "no parts"
    return None, f"no user message of \"messages\" holds text (the last holds {parts}): no description"


def conversation_tokens(record: dict[str, Any]) -> int:
    """The input tokens of a chat record, estimated as a description's are (UTF-8 bytes / 4,
    rounded up) from all the text it sends the model: its ``"system"`` prompt, every message's
    text (a tool call's arguments and a tool's result included) and its ``"tools"``
    definitions (as compact JSON). Images, audio and files are not text, and not counted."""
    size = _text_size(record.get("system"))
    messages = record.get("messages")
    if isinstance(messages, list):
        for message in messages:
            if isinstance(message, dict):
                size += _text_size(message.get("content"))
                calls = message.get("tool_calls")
                if isinstance(calls, list):
                    size += sum(_text_size(call.get("function", {}).get("arguments")) for call in calls
                                if isinstance(call, dict) and isinstance(call.get("function"), dict))
    tools = record.get("tools")
    if isinstance(tools, list) and tools:
        size += _json_size(tools)
    return (size + 3) // 4


def _text_size(content: Any, depth: int = 0) -> int:
    """The UTF-8 bytes of the text in a message's content: a text, or the parts of a list
    that hold one (``"text"``; a tool's result, ``"content"``, a few levels deep; a tool
    call's ``"input"``, as JSON)."""
    if isinstance(content, str):
        return len(content) if content.isascii() else len(content.encode("utf-8", "surrogatepass"))
    if not isinstance(content, list) or depth > _PARTS_DEPTH:
        return 0
    size = 0
    for part in content:
        if isinstance(part, dict):
            size += _text_size(part.get("text")) + _text_size(part.get("content"), depth + 1)
            if isinstance(part.get("input"), dict):
                size += _json_size(part["input"])
    return size


_PARTS_DEPTH: Final = 4


def _json_size(value: Any) -> int:
    """The UTF-8 bytes of ``value`` as compact JSON (0 for what JSON cannot write)."""
    try:
        return _text_size(json.dumps(value, ensure_ascii=False, separators=(",", ":")))
    except (ValueError, TypeError, RecursionError):
        return 0


def _cell(record: dict[str, str], field: str, name: str) -> str | None:
    """A CSV cell; an empty cell is no value, except for the description itself."""
    value = record.get(name)
    return value if value or name == field else None


def _trimmed(batch: Batch) -> Batch:
    """``batch`` without the optional columns that hold nothing."""
    for name in ("ids", "models", "input_tokens", "output_tokens", "tool_counts", "input_estimates"):
        column: list[Any] | None = getattr(batch, name)
        if column is not None and column.count(None) == len(column):
            setattr(batch, name, None)
    return batch


def _show_name(name: str) -> str:
    return json.dumps(name, ensure_ascii=False)


def _describe(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return f"the number {value!r}"
    if isinstance(value, str):
        return f"the text {json.dumps(value, ensure_ascii=False)[:60]}"
    if isinstance(value, list):
        return "a list"
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__


def open_source(path: str) -> tuple[BinaryIO, str, int | None]:
    """The stream to read ``path`` from (``-``: standard input), its name for messages and its
    size when known; OSError when it cannot be opened."""
    if path == "-":
        stdin = sys.stdin
        if stdin is None:
            raise OSError("no standard input")
        buffer: BinaryIO = stdin.buffer
        return buffer, "standard input", None
    stream = open(path, "rb")
    try:
        size: int | None = os.fstat(stream.fileno()).st_size or None
    except OSError:
        size = None
    return stream, repr(path), size
