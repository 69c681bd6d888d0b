"""JSONL: one JSON object a line.

The fast path reads a block of lines with one call of ``orjson`` and takes a batch's columns
a column at a time (:meth:`halvec.workload.records.Records.columns`); a block it cannot read
so (a line that is not one whole JSON value, a value to look at closer) is read again line by
line, where every bad line is found and reported. Without ``orjson``, the standard library's
``json`` reads the block a line at a time, with the same two paths."""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Iterator
from operator import itemgetter
from typing import Any, Final

from halvec.reading import Lines, TooLong
from halvec.workload.batch import TOO_LONG, Account, Batch, trimmed
from halvec.workload import json_values
from halvec.workload.json_values import loads
from halvec.workload.records import Records

__all__ = ["JsonLines"]

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
        values: list[Any] = json_values.fast_loads(joined)
    except (ValueError, RecursionError):
        return None
    if len(values) != 2 * breaks + 1 or values[1::2].count(_SEPARATOR_TEXT) != breaks:
        return None
    return values[0::2]


class JsonLines:
    """The tasks of JSON lines, a block at a time."""

    def __init__(self, lines: Lines, account: Account, records: Records) -> None:
        self._lines = lines
        self._account = account
        self._records = records

    def batches(self) -> Iterator[Batch]:
        lines = self._lines
        describe = itemgetter(self._records.field)
        number = lines.first_line
        for chunk in lines.chunks():
            if isinstance(chunk, TooLong):
                self._account.bad(number, TOO_LONG)
                number += 1
                continue
            if json_values.HAVE_ORJSON:
                # orjson reads the bytes (and checks they are UTF-8) itself, the whole chunk
                # in one call; a chunk it cannot read so is read line by line, every bad line
                # found and reported
                records = _records_of(chunk)
                if records is None:
                    raw = chunk.split(b"\n")
                    first, number = number, number + len(raw)
                    yield self._slowly(first, raw)
                    continue
                first, number = number, number + len(records)
                batch = self._batch(first, records, describe)
                yield batch if batch is not None else self._slowly(first, chunk.split(b"\n"))
                continue
            raw = chunk.split(b"\n")
            decoded = lines.decode(raw, number)  # json is given text
            first, number = number, number + len(decoded)
            try:
                records = list(map(json.loads, decoded))  # type: ignore[arg-type]  # an int: refused, see below
            except (ValueError, TypeError, RecursionError):
                batch = None
            else:
                batch = self._batch(first, records, describe)
            yield batch if batch is not None else self._slowly(first, decoded)

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
        return batch if self._records.columns(batch, records) else None

    def _slowly(self, number: int, lines: list[bytes] | list[str | int]) -> Batch:
        """A block line by line (as bytes, or decoded already): every bad line found and
        reported."""
        account = self._account
        batch = Batch.collecting()
        for offset, data in enumerate(lines):
            at = number + offset
            line = self._lines.decode_line(data, at) if isinstance(data, bytes) else data
            if isinstance(line, int):
                account.unread(at, line)
                continue
            if not line or line.isspace():
                account.blank_lines += 1
                continue
            try:
                record = loads(line)
            except json.JSONDecodeError as error:
                account.bad(at, f"not JSON: {error.msg} (column {error.colno})")
                continue
            except (ValueError, RecursionError) as error:
                account.bad(at, f"not JSON: {error}")
                continue
            self._records.record(batch, at, record)
        return trimmed(batch)
