"""The task reader: a source's format chosen, its start read (gzip, what is not text, a
byte-order mark), and its tasks read by the format's reader, with every line accounted for."""

from __future__ import annotations

from collections.abc import Collection, Iterator, Mapping
import dataclasses
from typing import BinaryIO, Literal

from halvec.reading import BLOCK_SIZE, BOM, EncodingErrors, Lines
from halvec.workload.batch import MAX_LINE, Account, BadLine, Batch, InputProblem, Remedy
from halvec.workload.delimited import Delimited
from halvec.workload.json_array import JsonArray
from halvec.workload.jsonl import JsonLines
from halvec.workload.records import Records
from halvec.workload.text import read_text

__all__ = ["Format", "ReadOptions", "TaskReader", "format_for"]

Format = Literal["jsonl", "json", "csv", "tsv", "text"]


def format_for(name: str, first_line: bytes) -> Format:
    """The format a source is in, by its name (``.jsonl``, ``.ndjson``, ``.json``, ``.csv``,
    ``.tsv``, ``.txt``; a ``.gz`` after it is left aside) and the start of its first line that
    is not blank: a ``.json`` file, or one whose name says nothing (standard input), is a JSON
    array when that line starts with ``[``, and JSONL when it starts with ``{``; a name that
    says nothing with any other start is text."""
    lower = name.lower().removesuffix(".gz")
    start = first_line.removeprefix(BOM).lstrip()[:1]
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


class TaskReader:
    """Reads tasks from ``stream`` (binary), named ``where`` in messages.

    ``name`` is the source as the user named it (``-`` for standard input). ``fmt`` is the
    format (None: chosen by :func:`format_for` from ``name`` and the first line that is not
    blank, or CSV when a ``delimiter`` is given); ``field`` the JSON field or CSV column of the
    description (None: ``"description"``, or for a JSON record without it that has
    ``"messages"``, its last user message that holds text); ``delimiter`` the character
    between CSV cells (default: a comma, a tab for TSV). ``model_field`` and ``models`` say
    which model a task requests (:class:`halvec.workload.records.Records`); a name outside the
    catalogue is counted (:attr:`outside_catalogue`). ``hints`` says, for each problem a
    setting of the caller's can remedy, what to do (added to the problem's message).
    ``size`` is the stream's size in bytes, when known, for :attr:`fraction_read`.
    ``first_line`` numbers the stream's first line, for a stream that is a part of a source
    starting at that line (JSONL or text; a CSV record may span lines and a JSON array is one
    value, so those are read whole). A whole source that is not text, or cannot be read,
    raises :class:`InputProblem` when its start is read: here when the format is to be chosen.
    """

    def __init__(self, stream: BinaryIO, where: str, *, name: str | None = None, fmt: Format | None = None,
                 field: str | None = None, delimiter: str | None = None,
                 models: Collection[str] | Mapping[str, str] = (), model_field: str | None = "model",
                 skip_bad: bool = False, encoding_errors: EncodingErrors = "strict", size: int | None = None,
                 hints: Mapping[Remedy, str] | None = None, block_size: int = BLOCK_SIZE,
                 first_line: int = 1) -> None:
        self.where: str = where
        self.name: str = name if name is not None else where
        self.skip_bad: bool = skip_bad
        self.size: int | None = size
        if first_line < 1:
            raise ValueError(f"lines are numbered from 1, not {first_line}")
        self._lines = Lines(stream, where, max_line=MAX_LINE, errors=encoding_errors, block_size=block_size,
                            first_line=first_line, problem=InputProblem)
        self._account = Account(where, skip_bad=skip_bad, hints=hints or {})
        self._records = Records(self._account, field=field, model_field=model_field, models=models)
        self.field: str = self._records.field
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
        self.tasks: int = 0

    def _open(self) -> bytes:
        """The source's start (see :meth:`halvec.reading.Lines.open`), read once: when the
        format is to be chosen, else when the first batch is asked for."""
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
    def blank_lines(self) -> int:
        return self._account.blank_lines

    @property
    def bad_lines(self) -> int:
        return self._account.bad_lines

    @property
    def kept_bad_lines(self) -> list[BadLine]:
        """The first bad lines skipped, with their problem."""
        return self._account.kept_bad_lines

    @property
    def replaced_lines(self) -> int:
        """Lines in which bytes that are not UTF-8 were read as U+FFFD."""
        return self._lines.replaced_lines

    @property
    def first_replaced_line(self) -> int | None:
        return self._lines.first_replaced

    @property
    def chat_tasks(self) -> int:
        """Tasks whose description is a chat record's last user message, not a field's."""
        return self._records.chat_tasks

    @property
    def outside_catalogue(self) -> dict[str, int]:
        """The model names outside the catalogue that tasks gave, with their tasks (the first
        :data:`halvec.workload.KEPT_MODEL_NAMES` different names met, a longer name cut short)."""
        return self._records.outside_catalogue

    @property
    def outside_catalogue_tasks(self) -> int:
        """The tasks that named a model outside the catalogue (those whose name was not kept too)."""
        return self._records.outside_catalogue_tasks

    def batches(self) -> Iterator[Batch]:
        """The tasks, batch by batch, in the order of the input."""
        self._open()
        self._account.blank_lines += self._lines.leading_blank_lines
        lines, account, records = self._lines, self._account, self._records
        reader = (read_text(lines, account) if self.format == "text" else
                  JsonLines(lines, account, records).batches() if self.format == "jsonl" else
                  JsonArray(lines, account, records).batches() if self.format == "json" else
                  Delimited(lines, account, records, self.delimiter).batches())
        for batch in reader:
            self.tasks += len(batch)
            if batch.descriptions:
                yield batch


@dataclasses.dataclass(frozen=True)
class ReadOptions:
    """How to read a source's tasks: :class:`TaskReader`'s options, kept together so that every
    reader of a run (one for each part of the source, or one for all of it) reads alike."""

    fmt: Format | None = None
    field: str | None = None
    delimiter: str | None = None
    models: tuple[str, ...] | dict[str, str] = ()
    model_field: str | None = "model"
    skip_bad: bool = False
    encoding_errors: EncodingErrors = "strict"
    hints: dict[Remedy, str] = dataclasses.field(default_factory=dict)

    def reader(self, stream: BinaryIO, where: str, *, name: str, size: int | None, fmt: Format | None = None,
               first_line: int = 1) -> TaskReader:
        """A reader of ``stream`` with these options; ``fmt`` (the format a first reader
        chose) in the place of :attr:`fmt`."""
        return TaskReader(stream, where, name=name, fmt=fmt or self.fmt, field=self.field, delimiter=self.delimiter,
                          models=self.models, model_field=self.model_field, skip_bad=self.skip_bad,
                          encoding_errors=self.encoding_errors, size=size, hints=self.hints, first_line=first_line)
