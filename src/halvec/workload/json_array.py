"""A JSON file holding one array of records, read a block at a time: each record is read once
it is whole, and numbered by the line where it starts, so that memory stays bounded by the
longest record, not the file."""

from __future__ import annotations

import codecs
import enum
import json
import re
from collections.abc import Iterator
from typing import Any, Final

from halvec.reading import Lines
from halvec.workload.batch import TOO_LONG, Account, Batch, InputProblem, not_utf8, trimmed
from halvec.workload.records import Records

__all__ = ["JsonArray"]

_RECORD_BATCH: Final = 4096
_JSON_BLANK: Final = re.compile(r"[ \t\n\r]*")
_SURROGATE: Final = re.compile("[\udc80-\udcff]")
_SKIPPED: Final = object()


class _State(enum.Enum):
    """Where the parser stands in the array, and so what it expects next."""

    BEFORE = "before the array: its ["
    FIRST = "after the [: a record, or the ] of an empty array"
    RECORD = "a record"
    AFTER_RECORD = "after a record: a , or the ]"
    AFTER = "after the ]: nothing but blanks"


class JsonArray:
    """The records of a JSON array, a batch at a time. A fault of the array itself (a record
    that is not JSON, or longer than the most a line may have, or what is not between the
    records) stops the reading even when bad lines are skipped: the records after it cannot
    be found.

    The text read so far is kept from the parser's place on: ``_text[_pos]`` is on line
    ``_line``. Bytes that are not UTF-8 are kept as lone surrogates, so that a record that holds
    some is found whole, and then reported (or read with U+FFFD in their place)."""

    def __init__(self, lines: Lines, account: Account, records: Records) -> None:
        self._lines = lines
        self._account = account
        self._records = records
        self._decoder = json.JSONDecoder()
        self._utf8 = codecs.getincrementaldecoder("utf-8")("surrogateescape")
        self._blocks = lines.data()
        self._text = ""
        self._pos = 0
        self._line = lines.first_line
        self._ended = False
        self._dirty = False  # the text read holds a lone surrogate

    def batches(self) -> Iterator[Batch]:
        state = _State.BEFORE
        batch = Batch.collecting()
        while True:
            if state is _State.BEFORE:
                if self._skip() != "[":
                    raise self._stop("not JSON: a JSON array starts with [")
                self._pos += 1
                state = _State.FIRST
            elif state is _State.FIRST:
                if self._skip() == "]":
                    self._pos += 1  # an empty array
                    state = _State.AFTER
                else:
                    state = _State.RECORD
            elif state is _State.RECORD:
                self._record(batch)
                state = _State.AFTER_RECORD
            elif state is _State.AFTER_RECORD:
                separator = self._skip()
                if separator not in (",", "]"):
                    raise self._stop("not JSON: a record is followed by neither , nor ]" if separator
                                     else "not JSON: the array ends without its closing ]")
                self._pos += 1
                if separator == ",":
                    self._skip()  # the next record is numbered by the line where it starts
                    state = _State.RECORD
                else:
                    state = _State.AFTER
                if len(batch.descriptions) >= _RECORD_BATCH or state is _State.AFTER:
                    yield trimmed(batch)
                    batch = Batch.collecting()
            else:
                if self._skip():
                    raise self._stop("not JSON: there is more after the array's end")
                return

    def _more(self) -> bool:
        """Reads the next block onto the text; False at the end."""
        data = next(self._blocks, b"")
        added = self._utf8.decode(data, final=not data)
        self._dirty = self._dirty or _SURROGATE.search(added) is not None
        self._text, self._pos, self._ended = self._text[self._pos:] + added, 0, not data
        return bool(data)

    def _skip(self) -> str:
        """Past the blanks: the next character ("" at the end)."""
        while True:
            end = _JSON_BLANK.match(self._text, self._pos).end()  # type: ignore[union-attr]  # always matches
            self._line += self._text.count("\n", self._pos, end)
            self._pos = end
            if self._pos < len(self._text) or not self._more():
                return self._text[self._pos:self._pos + 1]

    def _stop(self, problem: str, line: int | None = None) -> InputProblem:
        return self._account.stop(problem, self._line if line is None else line)

    def _record(self, batch: Batch) -> None:
        """The record at the parser's place, read once it is whole, into ``batch``."""
        at = self._line
        while True:
            try:
                value, end = self._decoder.raw_decode(self._text, self._pos)
                if end < len(self._text) or self._ended:
                    break  # whole (a number at the end of the text may go on)
            except json.JSONDecodeError as error:
                cut_short = error.msg.startswith("Unterminated string") or len(self._text) - error.pos <= 16
                if self._ended or not cut_short:
                    raise self._stop(f"not JSON: {error.msg}",
                                     self._line + self._text.count("\n", self._pos, error.pos)) from None
            except RecursionError:
                raise self._stop("not JSON: nested too deeply", at) from None
            if len(self._text) - self._pos > self._lines.max_line:
                raise self._stop(f"a record {TOO_LONG.removeprefix('longer')}", at)
            self._more()
        source = self._text[self._pos:end]
        self._line += source.count("\n")
        self._pos = end
        if self._dirty and _SURROGATE.search(source):
            value = self._undecodable(batch, at, source)
        if value is not _SKIPPED:
            self._records.record(batch, at, value)

    def _undecodable(self, batch: Batch, at: int, source: str) -> Any:
        """A record whose text holds bytes that are not UTF-8 (as lone surrogates): read with
        U+FFFD in their place when replacement is asked for, else a bad line."""
        lines = source.split("\n")
        bad = [n for n, text in enumerate(lines) if _SURROGATE.search(text)]
        if self._lines.errors != "replace":
            byte = ord(_SURROGATE.search(lines[bad[0]]).group()) - 0xDC00  # type: ignore[union-attr]
            self._account.bad(at + bad[0], not_utf8(byte), "encoding")
            return _SKIPPED
        self._lines.replaced(at + bad[0], len(bad))
        try:
            return json.loads(source.encode("utf-8", "surrogateescape").decode("utf-8", "replace"))
        except (ValueError, RecursionError) as error:
            self._account.bad(at, f"not JSON: {error}")
            return _SKIPPED
