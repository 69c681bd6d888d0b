"""Task descriptions read from a file or a stream, in batches, with every line accounted for.

Three formats: JSONL (one JSON object per line, the description under a named field, with
optional ``"id"``, ``"model"``, ``"input_tokens"`` and ``"output_tokens"``, which may be
named ``"prompt_tokens"`` and ``"completion_tokens"`` instead), CSV with a header row (the
same names as columns) and plain text (one description per line). A token count is a whole
number, 0 or more; a number with a fraction of zero (``12.0``) is one. The input
is UTF-8; a byte-order mark at its start is dropped. It is read in blocks of about a
megabyte, so memory stays flat whatever its size, and handed on as :class:`Batch` columns.

Every line is one of: a task, a blank line (counted), or a bad line. A bad line raises
:class:`InputProblem`, which names the source and the line, unless the reader skips bad
lines, when it is counted and the first few are kept with their problem. Bytes that are not
UTF-8 are a bad line too, unless they are read as U+FFFD (``encoding_errors="replace"``),
which is counted by line.

JSON is read with ``orjson`` when it is installed and the standard library's ``json``
otherwise; a line ``orjson`` refuses is read again with ``json``, whose rules decide (so
both read the same files the same way, lone surrogates and NaN included).
"""

from __future__ import annotations

import csv
import importlib
import itertools
import json
import os
import re
import sys
from collections.abc import Callable, Collection, Iterable, Iterator
from dataclasses import dataclass
from functools import partial
from operator import is_not, itemgetter
from typing import Any, BinaryIO, Final, Literal

__all__ = ["BLOCK_SIZE", "BadLine", "Batch", "EncodingErrors", "Format", "InputProblem", "KEPT_BAD_LINES",
           "TaskReader", "fast_json", "format_for", "loads", "open_source"]

Format = Literal["jsonl", "csv", "text"]
EncodingErrors = Literal["strict", "replace"]

BLOCK_SIZE: Final = 1 << 20
"""Bytes read at a time."""
KEPT_BAD_LINES: Final = 20
"""How many skipped bad lines are kept with their problem (all are counted)."""

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
    """Whether orjson's reading of a value may differ from json's: a float that may be a long
    integer rounded, anywhere inside it."""
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
    ``.txt``); a name that says nothing (standard input) by its first line: JSONL when it
    starts with ``{``, else text."""
    lower = name.lower()
    if lower.endswith((".jsonl", ".ndjson", ".json")):
        return "jsonl"
    if lower.endswith(".csv"):
        return "csv"
    if lower.endswith((".txt", ".text")):
        return "text"
    return "jsonl" if first_line.removeprefix(_BOM).lstrip().startswith(b"{") else "text"


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

    def __len__(self) -> int:
        return len(self.descriptions)


@dataclass
class _Lines:
    """Decoded lines of a byte stream, block by block."""

    stream: BinaryIO
    where: str
    errors: EncodingErrors
    block_size: int = BLOCK_SIZE
    first_line: int = 1
    """The number of the stream's first line: 1 for a whole source, more for a part that
    starts further on (which has no byte-order mark to drop)."""
    bytes_read: int = 0
    replaced_lines: int = 0
    first_replaced: int | None = None
    first_block: bytes = b""

    def peek(self) -> bytes:
        """The first block, read ahead (to choose the format); it is handed out again."""
        if not self.first_block:
            self.first_block = self._read()
        return self.first_block

    def _read(self) -> bytes:
        # read1 hands over what a pipe holds now, up to a block, rather than waiting for a
        # whole block: tasks are counted as they arrive
        read: Callable[[int], bytes] = getattr(self.stream, "read1", None) or self.stream.read
        try:
            data = read(self.block_size)
        except OSError as error:
            raise InputProblem(self.where, f"cannot be read: {error.strerror or error}") from None
        self.bytes_read += len(data)
        return data

    def chunks(self) -> Iterator[bytes]:
        """The stream's lines a block at a time: whole lines, without the line break after
        the last."""
        pending: list[bytes] = []
        data = self.peek()
        self.first_block = b""
        start = self.first_line == 1
        while data:
            if start:
                if len(data) < len(_BOM) and _BOM.startswith(data):
                    more = self._read()
                    if more:
                        data += more
                        continue
                data = data.removeprefix(_BOM)
                start = False
            cut = data.rfind(b"\n")
            if cut < 0:
                pending.append(data)
            else:
                pending.append(data[:cut])
                chunk = b"".join(pending)
                pending = [data[cut + 1:]]
                yield chunk
            data = self._read()
        rest = b"".join(pending)
        if rest:
            yield rest

    def raw_blocks(self) -> Iterator[tuple[int, list[bytes]]]:
        """(number of the first line, lines): the lines of a block as bytes, without their
        line break."""
        number = self.first_line
        for chunk in self.chunks():
            lines = chunk.split(b"\n")
            yield number, lines
            number += len(lines)

    def blocks(self) -> Iterator[tuple[int, list[str | int]]]:
        """(number of the first line, lines): lines without their line break, each as
        :meth:`decode_line` gives it."""
        for number, lines in self.raw_blocks():
            yield number, self.decode(lines, number)

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
        reports it (see :func:`not_utf8`) when it reaches the line, so that problems are
        reported in the order of the lines, and nothing is kept per line meanwhile."""
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError as error:
            if self.errors != "replace":
                return raw[error.start]
        self.replaced_lines += 1
        if self.first_replaced is None:
            self.first_replaced = number
        return raw.decode("utf-8", "replace")


def not_utf8(byte: int) -> str:
    """The problem of a line whose first byte that is not UTF-8 is ``byte``."""
    return f"not valid UTF-8 (byte 0x{byte:02x}); --encoding-errors replace reads it with U+FFFD in its place"


class TaskReader:
    """Reads tasks from ``stream`` (binary), named ``where`` in messages.

    ``name`` is the source as the user named it (``-`` for standard input). ``fmt`` is the
    format (None: chosen by :func:`format_for` from ``name`` and the first line); ``field`` the JSONL field or CSV column of the description; ``models`` the
    model keys a task may request (``"auto"`` and an empty key, which leave the choice to the
    router, are always accepted); ``hint`` suggests the key an unknown one was meant to be.
    ``size`` is the stream's size in bytes, when known, for :attr:`fraction_read`.
    ``first_line`` numbers the stream's first line, for a stream that is a part of a source
    starting at that line (JSONL or text; a CSV record may span lines, so CSV is read whole).
    """

    def __init__(self, stream: BinaryIO, where: str, *, name: str | None = None, fmt: Format | None = None,
                 field: str = "description", models: Collection[str] = (), skip_bad: bool = False,
                 encoding_errors: EncodingErrors = "strict", size: int | None = None,
                 hint: Callable[[str], str | None] | None = None, block_size: int = BLOCK_SIZE,
                 first_line: int = 1) -> None:
        self.where: str = where
        self.name: str = name if name is not None else where
        self.field: str = field
        self.skip_bad: bool = skip_bad
        self.size: int | None = size
        if first_line < 1:
            raise ValueError(f"lines are numbered from 1, not {first_line}")
        self._lines = _Lines(stream, where, encoding_errors, block_size, first_line)
        self.format: Format = fmt if fmt is not None else format_for(name or "", self._lines.peek()[:4096])
        if first_line != 1 and self.format == "csv":
            raise ValueError("CSV is read whole: its records may span lines")
        self._models = tuple(models)
        self._hint = hint
        self._accepted = frozenset([*models, "auto", "", None])
        self.tasks: int = 0
        self.blank_lines: int = 0
        self.bad_lines: int = 0
        self.kept_bad_lines: list[BadLine] = []

    # --- what was read ---

    @property
    def bytes_read(self) -> int:
        return self._lines.bytes_read

    @property
    def fraction_read(self) -> float | None:
        """How much of the stream has been read, when its size is known."""
        if not self.size:
            return None
        return min(1.0, self._lines.bytes_read / self.size)

    @property
    def replaced_lines(self) -> int:
        """Lines in which bytes that are not UTF-8 were read as U+FFFD."""
        return self._lines.replaced_lines

    @property
    def first_replaced_line(self) -> int | None:
        return self._lines.first_replaced

    def batches(self) -> Iterator[Batch]:
        """The tasks, batch by batch, in the order of the input."""
        reader = {"jsonl": self._jsonl, "csv": self._csv, "text": self._text}[self.format]
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
                    self._bad(number + offset, not_utf8(line))
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
        path must look at (to report it, or to find it is fine)."""
        get = dict.get
        # a column equal to this one is absent (the comparison stops at the first value)
        absent = [None] * len(records)
        ids = list(map(get, records, itertools.repeat("id")))
        if _HAVE_ORJSON and not set(map(type, ids)).isdisjoint((float, list, dict)) and any(map(_maybe_rounded, ids)):
            return False  # a long integer orjson rounded, perhaps: json reads those lines
        if ids != absent:
            batch.ids = ids
        models = list(map(get, records, itertools.repeat("model")))
        if models != absent:
            try:
                if not set(models) <= self._accepted:
                    return False
            except TypeError:  # unhashable
                return False
            batch.models = models
        for name, alias in _TOKEN_FIELDS:
            counts = list(map(get, records, itertools.repeat(name)))
            kinds = set(map(type, counts))
            if _NONE_TYPE in kinds:
                aliased = list(map(get, records, itertools.repeat(alias)))
                if aliased != absent:
                    counts = [a if c is None else c for c, a in zip(counts, aliased)]
                    kinds = set(map(type, counts))
            if counts == absent:
                continue
            if float in kinds:
                if not kinds <= {int, float, _NONE_TYPE} or not all(
                        c.is_integer() for c in counts if type(c) is float):
                    return False
                counts = [int(c) if type(c) is float else c for c in counts]
                kinds = set(map(type, counts))
            if not kinds <= {int, _NONE_TYPE}:
                return False
            present: Iterable[Any] = filter(partial(is_not, None), counts) if _NONE_TYPE in kinds else counts
            if min(present) < 0:
                return False
            setattr(batch, name, counts)
        return True

    def _jsonl_slowly(self, number: int, lines: list[bytes] | list[str | int]) -> Batch:
        """A block line by line (as bytes, or decoded already): every bad line found and
        reported."""
        batch = Batch([], [], [], [], [], [])
        for offset, data in enumerate(lines):
            at = number + offset
            line = self._lines.decode_line(data, at) if isinstance(data, bytes) else data
            if isinstance(line, int):
                self._bad(at, not_utf8(line))
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
            if not isinstance(record, dict):
                self._bad(at, f"not a JSON object but {_describe(record)}")
                continue
            self._add(batch, at, record, lambda name: record.get(name), "field")
        return _trimmed(batch)

    def _add(self, batch: Batch, at: int, record: dict[str, Any], get: Callable[[str], Any], kind: str) -> None:
        """One record's task into ``batch``, or a bad line."""
        if self.field not in record:
            fields = ", ".join(map(_show_name, list(record)[:10])) + (", ..." if len(record) > 10 else "")
            self._bad(at, f"no {kind} {_show_name(self.field)} ({kind}s: {fields or 'none'}); "
                          f"--field names the {kind} that holds the description")
            return
        description = get(self.field)
        if not isinstance(description, str):
            self._bad(at, f"the {kind} {_show_name(self.field)} is {_describe(description)}, not a text")
            return
        model = get("model")
        if model is not None and (not isinstance(model, str) or model not in self._accepted):
            self._bad(at, _unknown_model(model, self._models, self._hint))
            return
        counts: list[int | None] = []
        for name, alias in _TOKEN_FIELDS:
            value = get(name)
            if value is None:
                value = get(alias)
                if value is not None:
                    name = alias
            count = _token_count(value, text=kind == "column")
            if count is not None and count < 0:
                self._bad(at, f"the {kind} \"{name}\" is {_describe(value)}, not a count of tokens "
                              f"(a whole number, 0 or more)")
                return
            counts.append(count)
        batch.lines.append(at)
        batch.descriptions.append(description)
        assert batch.ids is not None and batch.models is not None
        assert batch.input_tokens is not None and batch.output_tokens is not None
        batch.ids.append(get("id"))
        batch.models.append(model)
        batch.input_tokens.append(counts[0])
        batch.output_tokens.append(counts[1])

    # --- CSV ---

    def _csv(self) -> Iterator[Batch]:
        # The first bad byte of the lines not UTF-8 that csv has read and whose record is
        # not yet taken: a record at a time, so it stays small.
        undecodable: dict[int, int] = {}

        def lines() -> Iterator[str]:
            # every line of the input, in order: csv's line count is the line number
            for number, block in self._lines.blocks():
                for offset, line in enumerate(block):
                    if isinstance(line, int):
                        undecodable[number + offset] = line
                        line = ""
                    yield line + "\n"

        limit = csv.field_size_limit()
        csv.field_size_limit(sys.maxsize)  # a description may be as long as it likes
        try:
            rows = csv.reader(lines(), strict=True)
            last = 0  # the last line of the previous record

            def record_lines() -> tuple[int, int]:
                nonlocal last
                first, last = last + 1, rows.line_num
                return first, last

            header: list[str] | None = None
            while header is None:
                try:
                    row = next(rows)
                except StopIteration:
                    return
                except csv.Error as error:
                    raise InputProblem(self.where, f"not CSV: {error}", last + 1) from None
                first, end = record_lines()
                bad = [n for n in range(first, end + 1) if n in undecodable]
                if bad:
                    raise InputProblem(self.where, not_utf8(undecodable[bad[0]]), bad[0])
                if not any(cell.strip() for cell in row):
                    self.blank_lines += end - first + 1
                    continue
                header = row
            if self.field not in header:
                shown = ", ".join(map(_show_name, header[:10])) + (", ..." if len(header) > 10 else "")
                raise InputProblem(self.where, f"no column {_show_name(self.field)} in the header "
                                               f"(columns: {shown}); --field names the column that holds "
                                               f"the description", first)
            batch = Batch([], [], [], [], [], [])
            while True:
                try:
                    row = next(rows)
                except StopIteration:
                    break
                except csv.Error as error:
                    first, end = record_lines()
                    for n in range(first, end + 1):
                        undecodable.pop(n, None)
                    self._bad(first, f"not CSV: {error}")
                    continue
                first, end = record_lines()
                if undecodable and any(n in undecodable for n in range(first, end + 1)):
                    problems = [undecodable.pop(n) for n in range(first, end + 1) if n in undecodable]
                    self._bad(first, not_utf8(problems[0]))
                elif not any(cell.strip() for cell in row):
                    self.blank_lines += end - first + 1
                elif len(row) != len(header):
                    self._bad(first, f"{len(row)} cell{'s' if len(row) != 1 else ''} where the header has "
                                     f"{len(header)}")
                else:
                    record = dict(zip(header, row))
                    self._add(batch, first, record, partial(_cell, record, self.field), "column")
                if len(batch.descriptions) >= _CSV_BATCH:
                    yield _trimmed(batch)
                    batch = Batch([], [], [], [], [], [])
            yield _trimmed(batch)
        finally:
            csv.field_size_limit(limit)


_CSV_BATCH = 4096

# The names a token count is read under: the second when the first is absent.
_TOKEN_FIELDS: Final = (("input_tokens", "prompt_tokens"), ("output_tokens", "completion_tokens"))
_WHOLE_TEXT: Final = re.compile(r"([0-9]+)(?:\.0*)?")


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


def _cell(record: dict[str, str], field: str, name: str) -> str | None:
    """A CSV cell; an empty cell is no value, except for the description itself."""
    value = record.get(name)
    return value if value or name == field else None


def _trimmed(batch: Batch) -> Batch:
    """``batch`` without the optional columns that hold nothing."""
    for name in ("ids", "models", "input_tokens", "output_tokens"):
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


def _unknown_model(model: object, valid: Collection[str], hint: Callable[[str], str | None] | None) -> str:
    if not isinstance(model, str):
        return f"\"model\" is {_describe(model)}, not a model key"
    text = f"unknown model key {model!r} in \"model\" (choose from {', '.join(valid)}, or auto)"
    near = hint(model) if hint is not None else None
    return text + (f"; did you mean {near!r}?" if near is not None else "")


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
