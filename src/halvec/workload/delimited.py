"""CSV (or TSV) with a header row: the description in a named column, the other names of a
JSON record as columns of their own. A record may span lines (a quoted cell holds line
breaks), so it is numbered by its first line, and its bad line is the first of its lines
that is one."""

from __future__ import annotations

import csv
from collections.abc import Iterator
from functools import partial
from itertools import chain
from typing import Final

from halvec.reading import TOO_LONG_BYTE, Lines, TooLong
from halvec.workload.batch import MAX_LINE, TOO_LONG, Account, Batch, Remedy, not_utf8, trimmed
from halvec.workload.json_values import show_name
from halvec.workload.records import TOKEN_FIELDS, Records

__all__ = ["Delimited"]

_CSV_BATCH: Final = 4096


def _cell(record: dict[str, str], field: str, name: str) -> str | None:
    """A CSV cell; an empty cell is no value, except for the description itself."""
    value = record.get(name)
    return value if value or name == field else None


class Delimited:
    """The tasks of CSV with ``delimiter`` between cells, a batch at a time."""

    def __init__(self, lines: Lines, account: Account, records: Records, delimiter: str) -> None:
        self._lines = lines
        self._account = account
        self._records = records
        # The lines csv has read that are not UTF-8 (their first bad byte) or too long, whose
        # record is not yet taken: a record at a time, so it stays small.
        self._undecodable: dict[int, int] = {}
        self._base = lines.first_line - 1  # csv counts from the first line it is given
        self._last = self._base  # the last line of the previous record
        self._reader = csv.reader(self._text(), strict=True, delimiter=delimiter)

    def _text(self) -> Iterator[str]:
        """Every line of the input, in order: csv's line count is the line number. A line that
        is not UTF-8 is handed over with its bytes as lone surrogates, so that its quotes and
        delimiters are where they are, and its record is a bad line."""
        for number, block in self._lines.raw_blocks():
            if isinstance(block, TooLong):
                self._undecodable[number] = TOO_LONG_BYTE
                yield "\n"
                continue
            for offset, line in enumerate(self._lines.decode(block, number)):
                if isinstance(line, int):
                    self._undecodable[number + offset] = line
                    line = block[offset].decode("utf-8", "surrogateescape")
                yield line + "\n"

    def _record_lines(self) -> tuple[int, int]:
        """The first and the last line of the record csv read last."""
        first, self._last = self._last + 1, self._base + self._reader.line_num
        return first, self._last

    def _problem_in(self, first: int, end: int) -> tuple[int, str, Remedy | None] | None:
        """The first line of a record that is not UTF-8 or too long, its problem and remedy;
        the record's lines are forgotten."""
        undecodable = self._undecodable
        if not undecodable:
            return None
        bad = [n for n in range(first, end + 1) if n in undecodable]
        found: tuple[int, str, Remedy | None] | None = None
        if bad:
            code = undecodable[bad[0]]
            found = (bad[0], TOO_LONG, None) if code == TOO_LONG_BYTE else (bad[0], not_utf8(code), "encoding")
        for n in bad:
            del undecodable[n]
        return found

    def batches(self) -> Iterator[Batch]:
        limit = csv.field_size_limit()
        csv.field_size_limit(MAX_LINE)  # a quoted cell left open cannot take the rest of the input
        try:
            header = self._header()
            if header is not None:
                yield from self._body(header)
        finally:
            csv.field_size_limit(limit)

    def _header(self) -> list[str] | None:
        """The header row (blank rows before it counted), checked; None when there is none."""
        while True:
            try:
                row = next(self._reader)
            except StopIteration:
                return None
            except csv.Error as error:
                raise self._account.stop(f"not CSV: {error}", self._last + 1) from None
            first, end = self._record_lines()
            found = self._problem_in(first, end)
            if found is not None:
                line, problem, remedy = found
                raise self._account.stop(problem, line, remedy)
            if any(cell.strip() for cell in row):
                break
            self._account.blank_lines += end - first + 1
        field = self._records.field
        twice = next((name for name in (field, self._records.model_field, "id", *chain(*TOKEN_FIELDS))
                      if name is not None and row.count(name) > 1), None)
        if twice is not None:
            raise self._account.stop(f"the column {show_name(twice)} is in the header twice: which one holds it "
                                     f"cannot be told", first)
        if field not in row:
            shown = ", ".join(map(show_name, row[:10])) + (", ..." if len(row) > 10 else "")
            raise self._account.stop(f"no column {show_name(field)} in the header (columns: {shown})", first,
                                     "column")
        return row

    def _body(self, header: list[str]) -> Iterator[Batch]:
        account, records = self._account, self._records
        batch = Batch.collecting()
        while True:
            try:
                row = next(self._reader)
            except StopIteration:
                break
            except csv.Error as error:
                first, end = self._record_lines()
                account.bad(*(self._problem_in(first, end) or (first, f"not CSV: {error}", None)))
                continue
            first, end = self._record_lines()
            found = self._problem_in(first, end)
            if found is not None:
                account.bad(*found)
            elif not any(cell.strip() for cell in row):
                account.blank_lines += end - first + 1
            elif len(row) != len(header):
                account.bad(first, f"{len(row)} cell{'s' if len(row) != 1 else ''} where the header has "
                                   f"{len(header)}")
            else:
                record = dict(zip(header, row))
                records.add(batch, first, record, "column", get=partial(_cell, record, records.field))
            if len(batch.descriptions) >= _CSV_BATCH:
                yield trimmed(batch)
                batch = Batch.collecting()
        yield trimmed(batch)
