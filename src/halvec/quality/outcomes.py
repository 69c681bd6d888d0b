"""Outcome files: prompts with each model's result on them, read for a strong/weak pair, or
for every model named (``models``: ``"all"``, or a list of two or more).

Two formats, streamed a line at a time:

- JSONL, one prompt a line: the text under ``"prompt"`` (or the field named), ``"scores"``
  an object of model to result, and optionally ``"costs"`` (model to the cost of that
  prompt with that model), ``"id"`` and ``"category"``.
- CSV with a header: a text column (``prompt``, or the column named) and a result column per
  model; optional ``id`` and ``category`` columns. Other columns are left alone.

A result is a number, or true/false (read as 1 and 0; in CSV also ``True``/``False``).
The file may be gzip-compressed. It is read by :class:`halvec.reading.Lines`: a line may have at
most :data:`halvec.reading.OUTCOME_LINE` bytes (64 MiB), so that memory stays bounded whatever
the file holds. Whatever cannot be read as outcomes raises
:class:`OutcomeProblem`, which names the file and, where there is one, the line. Messages
name the settings that mend a problem (the models, the prompt's field) by their parameters'
names, or as the caller names them (``setting_names``: a command line's options).
"""

from __future__ import annotations

import csv
import json
import math
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol

from halvec._json_keys import DuplicateKey, without_duplicates
from halvec.reading import BOM, OUTCOME_LINE, Lines, SourceProblem, TooLong, binary_kind, open_source, where_of
from halvec.quality.metrics import gap_sign, mean

__all__ = ["DEFAULT_FIELD", "Hint", "ModelChoice", "OutcomeFormat", "OutcomeProblem", "Outcomes", "SettingNames",
           "format_of", "read_outcomes"]

OutcomeFormat = Literal["jsonl", "csv"]
Hint = Callable[[str, Sequence[str]], "str | None"]
"""The name a mistyped name was most likely meant to be, among some; None when none stands out."""
SettingNames = Mapping[str, str]
"""How messages name the settings ``strong``, ``weak``, ``models`` and ``text_field``: a caller
whose user gives them otherwise (``--field``) says how; by default, by those names."""
ModelChoice = Literal["all"] | Sequence[str]
"""The models to read every result of: ``"all"`` (the first prompt's, or the header's), or
two or more named."""
DEFAULT_FIELD = "prompt"

_PROGRESS_EVERY = 1024
"""Lines between calls to the progress callback."""
_COMPRESSED = {"bzip2": "a bzip2", "xz": "an xz", "zip": "a zip", "zstd": "a zstd"}
"""The kinds of file refused as compressed (:data:`halvec.reading.BINARY`), as a message names them."""


class OutcomeProblem(SourceProblem):
    """An outcome file that cannot be used: where (the file, the line) and what."""


@dataclass
class Outcomes:
    """The prompts of an outcome file with the results of a strong and a weak model."""

    source: str
    """The file as it was named."""
    format: OutcomeFormat
    strong_model: str
    weak_model: str
    models: list[str] = field(default_factory=list)
    """The models the file has results for (its first prompt's, or its header's)."""
    texts: list[str] = field(default_factory=list)
    strong: list[float] = field(default_factory=list)
    weak: list[float] = field(default_factory=list)
    lines: list[int] = field(default_factory=list)
    """Each prompt's line (a CSV record's first line)."""
    ids: list[Any] = field(default_factory=list)
    """Each prompt's ``id``; None where it has none."""
    categories: list[Any] = field(default_factory=list)
    strong_costs: list[float] | None = None
    """Each prompt's cost with the strong model, where the file gives costs."""
    weak_costs: list[float] | None = None
    chosen: list[str] = field(default_factory=list)
    """The models read: ``[strong_model, weak_model]``, or those ``models`` names, in order."""
    results: list[list[float]] | None = None
    """Read with ``models``: each prompt's result with each chosen model (``strong_model`` and
    ``weak_model`` are then empty, and so are ``strong`` and ``weak``)."""
    costs: list[list[float]] | None = None
    """Read with ``models``: each prompt's cost with each chosen model, where the file gives costs."""

    def __len__(self) -> int:
        return len(self.texts)

    @property
    def q_strong(self) -> float:
        return mean(self.strong)

    @property
    def q_weak(self) -> float:
        return mean(self.weak)

    def check_gap(self, setting_names: SettingNames | None = None) -> None:
        """OutcomeProblem unless the strong model does better, on the mean, than the weak one
        (as the measures see it: means that differ only by rounding have no gap);
        ``setting_names`` as for :func:`read_outcomes`."""
        strong, weak = self.q_strong, self.q_weak
        where = _where(self.source)
        sign = gap_sign(self.strong, self.weak)
        if sign == 0:
            also = "" if strong == weak else f", equal but for rounding: {strong!r} against {weak!r}"
            raise OutcomeProblem(where, f"no gap to recover: {self.strong_model!r} and {self.weak_model!r} have "
                                        f"the same mean result ({strong:.4g}{also})")
        if sign < 0:
            raise OutcomeProblem(where, f"the {_named(setting_names, 'strong')} model {self.strong_model!r} does worse than "
                                        f"the {_named(setting_names, 'weak')} model {self.weak_model!r} ({strong:.4g} against "
                                        f"{weak:.4g}); swap them?")


class _Progress(Protocol):
    def __call__(self, reading: Any) -> None: ...


class _Reading:
    """What a progress display reads: prompts so far and the share of the file read."""

    def __init__(self, lines: Lines, size: int | None) -> None:
        self._lines, self._size = lines, size
        self.tasks = 0

    @property
    def fraction_read(self) -> float | None:
        return min(1.0, self._lines.bytes_read / self._size) if self._size else None

    @property
    def first_line(self) -> int:
        """The file's first line that is not blank (the blank lines before it are not read)."""
        return self._lines.first_line


def _where(path: str) -> str:
    return where_of(path)


def _named(setting_names: SettingNames | None, setting: str) -> str:
    return setting if setting_names is None else setting_names.get(setting, setting)


def format_of(path: str, first: bytes) -> OutcomeFormat:
    """By the name (``.jsonl``, ``.ndjson``, ``.json``, ``.csv``, with ``.gz`` or without),
    else by the first line: JSONL when it starts with ``{``."""
    name = path.lower().removesuffix(".gz")
    if name.endswith((".jsonl", ".ndjson", ".json")):
        return "jsonl"
    if name.endswith(".csv"):
        return "csv"
    return "jsonl" if first.removeprefix(BOM).lstrip(b" \t\r\n").startswith(b"{") else "csv"


def read_outcomes(path: str, *, strong: str | None = None, weak: str | None = None, models: ModelChoice | None = None,
                  text_field: str | None = None, fmt: OutcomeFormat | None = None, progress: _Progress | None = None,
                  hint: Hint | None = None, setting_names: SettingNames | None = None) -> Outcomes:
    """Reads ``path`` (``-``: standard input) for the results of ``strong`` and ``weak``, or
    of every model ``models`` names (:data:`ModelChoice`; ``results`` and ``costs`` then hold
    them). ValueError unless one of the two is given.

    ``text_field`` is the JSONL field or CSV column of the prompt (default ``prompt``);
    ``fmt`` the format (default: by the name, then the first line). ``progress`` is called
    now and then with an object that has ``tasks`` (prompts read) and ``fraction_read``;
    ``hint`` suggests a model for one the file does not have; ``setting_names`` says how
    messages name the settings (:data:`SettingNames`). OSError when the file cannot be opened; OutcomeProblem for
    what is in it."""
    if (models is None) == (strong is None or weak is None) or (strong is None) != (weak is None):
        raise ValueError("read_outcomes() reads either strong and weak, or models")
    stream, where, size = open_source(path)
    try:
        lines = _OutcomeLines(stream, where, max_line=OUTCOME_LINE.bytes, problem=OutcomeProblem,
                              refuse=_compressed)
        first = lines.open()[:4096]
        chosen = fmt or format_of(path, first)
        outcomes = Outcomes(path, chosen, strong or "", weak or "")
        reader = _JsonlReader if chosen == "jsonl" else _CsvReader
        reader(outcomes, where, text_field or DEFAULT_FIELD, _Reading(lines, size), progress, hint, setting_names,
               models).read(_lines(lines, where))
    finally:
        if path != "-":
            stream.close()
    if not outcomes.texts:
        raise OutcomeProblem(where, "no prompts (an outcome file holds one prompt a line, as JSONL, or CSV "
                                    "with a header)")
    return outcomes


def _compressed(start: bytes) -> str | None:
    """The problem of a file compressed otherwise than with gzip, or None."""
    kind = binary_kind(start)
    if kind is None or kind.name not in _COMPRESSED:
        return None
    return f"{_COMPRESSED[kind.name]}-compressed file: decompress it first (gzip is read as it is)"


class _OutcomeLines(Lines):
    """An outcome file's lines: a read that fails names the last line read."""

    def unreadable(self, error: Exception) -> SourceProblem:
        reason = getattr(error, "strerror", None) or str(error) or type(error).__name__
        after = f" after line {self.last_line}" if self.last_line is not None else ""
        return OutcomeProblem(self.where, f"cannot be read{after}: {reason}")


def _lines(lines: Lines, where: str) -> Iterator[tuple[int, str]]:
    """(line number, text without the line break) for every line from the first that is not
    blank, blank ones included."""
    for number, raw in lines.numbered():
        if isinstance(raw, TooLong):
            raise OutcomeProblem(where, OUTCOME_LINE.problem(), number)
        if b"\x00" in raw:
            raise OutcomeProblem(where, "not text (a NUL byte): an outcome file is JSONL or CSV", number)
        text = lines.decode_line(raw, number)
        if isinstance(text, int):
            raise OutcomeProblem(where, f"not valid UTF-8 (byte 0x{text:02x})", number)
        yield number, text.rstrip("\r\n")


# --- results ---------------------------------------------------------------------------------

_TRUE = frozenset({"true", "yes"})
_FALSE = frozenset({"false", "no"})


def _describe(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, str):
        return f"the text {json.dumps(value, ensure_ascii=False)[:40]}"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, list):
        return "a list"
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__


def _number(value: object) -> float | str:
    """A result or cost as a float, or the problem with it."""
    if isinstance(value, bool):
        return float(value)
    if isinstance(value, (int, float)):
        try:
            number = float(value)
        except OverflowError:
            return "too large"
        return number if math.isfinite(number) else f"{_describe(number)}, not a number"
    return f"{_describe(value)}, not a number"


def _finite(value: object) -> bool:
    """Whether no float inside ``value`` is NaN or an infinity."""
    if isinstance(value, float):
        return math.isfinite(value)
    try:
        if isinstance(value, list):
            return all(map(_finite, value))
        if isinstance(value, dict):
            return all(map(_finite, value.values()))
    except RecursionError:
        return False
    return True


def _cell_number(text: str) -> float | str:
    """A CSV cell's result: True/False (any case), yes/no, or a number."""
    folded = text.strip().casefold()
    if folded in _TRUE:
        return 1.0
    if folded in _FALSE:
        return 0.0
    try:
        number = float(folded)
    except ValueError:
        return f"{_describe(text)}, not a number"
    return number if math.isfinite(number) else f"{text.strip()!r}, not a number"


def _unknown_model(named: str, model: str, models: Sequence[str], what: str, hint: Hint | None) -> str:
    near = hint(model, models) if hint is not None else None
    return (f"unknown {named} model {model!r}: {what} {', '.join(map(repr, models)) or 'none'}"
            + (f"; did you mean {near!r}?" if near is not None else ""))


# --- the readers -----------------------------------------------------------------------------

class _Reader:
    def __init__(self, outcomes: Outcomes, where: str, text_field: str, reading: _Reading,
                 progress: _Progress | None, hint: Hint | None, setting_names: SettingNames | None,
                 models: ModelChoice | None = None) -> None:
        self.outcomes, self.where, self.field = outcomes, where, text_field
        self.reading, self.progress, self.hint, self.setting_names = reading, progress, hint, setting_names
        self.models = models
        self.wanted: list[tuple[str, str]] = []
        """The models to read, each with the setting that names it."""
        if models is None:
            self.wanted = [(_named(setting_names, "strong"), outcomes.strong_model),
                           (_named(setting_names, "weak"), outcomes.weak_model)]
            outcomes.chosen = [outcomes.strong_model, outcomes.weak_model]
        else:
            outcomes.results = []
            if models != "all":
                self._choose(list(models), None)

    def _choose(self, models: list[str], line: int | None) -> None:
        """Reads ``models``: at least two, none twice."""
        named = _named(self.setting_names, "models")
        twice = next((model for model in models if models.count(model) > 1), None)
        if twice is not None:
            raise OutcomeProblem(self.where, f"the model {twice!r} is named twice in {named}", line)
        if len(models) < 2:
            raise OutcomeProblem(self.where, f"{named} needs at least two models to choose between, not "
                                             f"{', '.join(map(repr, models)) or 'none'}", line)
        self.wanted = [(named, model) for model in models]
        self.outcomes.chosen = models

    def _known(self, models: list[str], line: int, what: str) -> None:
        """The models the file has (the first prompt's, or the header's): ``all`` of them
        chosen, or each one wanted among them."""
        if self.models == "all":
            self._choose(models, line)
        for named, model in self.wanted:
            if model not in models:
                problem = _unknown_model(named, model, models, what, self.hint)
                if self.models is not None:  # "unknown model 'x' in models: ..."
                    problem = problem.replace(f"{named} model {model!r}", f"model {model!r} in {named}", 1)
                raise OutcomeProblem(self.where, problem, line)

    def add(self, line: int, text: str, results: list[float], id_: Any, category: Any) -> None:
        out = self.outcomes
        out.texts.append(text)
        if out.results is not None:
            out.results.append(results)
        else:
            out.strong.append(results[0])
            out.weak.append(results[1])
        out.lines.append(line)
        out.ids.append(id_)
        out.categories.append(category)
        if self.progress is not None and len(out.texts) % _PROGRESS_EVERY == 0:
            self.reading.tasks = len(out.texts)
            self.progress(self.reading)

    def read(self, lines: Iterator[tuple[int, str]]) -> None:
        raise NotImplementedError


class _JsonlReader(_Reader):
    def read(self, lines: Iterator[tuple[int, str]]) -> None:
        out, where, name = self.outcomes, self.where, self.field
        costed_line: int | None = None
        uncosted_line: int | None = None
        for number, text in lines:
            if not text.strip():
                continue
            try:
                record = json.loads(text, object_pairs_hook=without_duplicates)
            except DuplicateKey as duplicate:
                raise OutcomeProblem(where, f"the key {json.dumps(duplicate.key, ensure_ascii=False)[:80]} is given "
                                            f"twice in one object (its keys are given once)", number) from None
            except (ValueError, RecursionError) as error:
                raise OutcomeProblem(where, f"not JSON: {str(error)[:80]}", number) from None
            if not isinstance(record, dict):
                raise OutcomeProblem(where, f"not a JSON object but {_describe(record)}", number)
            for key in ("id", "category"):  # passed on as they are (bench --out), as strict JSON
                if not _finite(record.get(key)):
                    raise OutcomeProblem(where, f"the field {json.dumps(key)} holds NaN or an infinity, which strict "
                                                f"JSON cannot carry; give it as a text (\"NaN\")", number)
            prompt = record.get(name)
            if not isinstance(prompt, str):
                problem = (f"no {json.dumps(name)} field" if prompt is None and name not in record
                           else f"{json.dumps(name)} is {_describe(prompt)}, not text")
                raise OutcomeProblem(where, f"{problem} (the prompt; {_named(self.setting_names, 'text_field')} names the "
                                            f"field that holds it)", number)
            scores = record.get("scores")
            if not isinstance(scores, dict):
                raise OutcomeProblem(where, "no \"scores\" object (each model's result on the prompt)"
                                     if scores is None else f"\"scores\" is {_describe(scores)}, not an object "
                                                            f"of model to result", number)
            if not out.models:
                out.models = [str(key) for key in scores]
                self._known(out.models, number, "the first prompt has results for")
            results = []
            for _, model in self.wanted:
                if model not in scores:
                    raise OutcomeProblem(where, f"no result for {model!r} in \"scores\"", number)
                result = _number(scores[model])
                if isinstance(result, str):
                    raise OutcomeProblem(where, f"the result for {model!r} is {result}", number)
                results.append(result)
            costs = record.get("costs")
            if costs is None:
                uncosted_line = uncosted_line or number
            else:
                costed_line = costed_line or number
                self._add_costs(costs, number)
            if costed_line is not None and uncosted_line is not None:
                raise OutcomeProblem(where, f"no \"costs\" on line {uncosted_line}, but on line {costed_line}: give "
                                            f"every prompt its costs, or none", max(costed_line, uncosted_line))
            self.add(number, prompt, results, record.get("id"), record.get("category"))

    def _add_costs(self, costs: object, number: int) -> None:
        out = self.outcomes
        if not isinstance(costs, dict):
            raise OutcomeProblem(self.where, f"\"costs\" is {_describe(costs)}, not an object of model to cost",
                                 number)
        values = []
        for _, model in self.wanted:
            if model not in costs:
                raise OutcomeProblem(self.where, f"no cost for {model!r} in \"costs\"", number)
            cost = _number(costs[model])
            if isinstance(cost, str) or cost < 0:
                raise OutcomeProblem(self.where, f"the cost for {model!r} is "
                                                 f"{cost if isinstance(cost, str) else 'below 0'}", number)
            values.append(cost)
        if out.results is not None:
            out.costs = [] if out.costs is None else out.costs
            out.costs.append(values)
            return
        if out.strong_costs is None or out.weak_costs is None:
            out.strong_costs, out.weak_costs = [], []
        out.strong_costs.append(values[0])
        out.weak_costs.append(values[1])


class _CsvReader(_Reader):
    def read(self, lines: Iterator[tuple[int, str]]) -> None:
        out, where, name = self.outcomes, self.where, self.field
        read = self.reading.first_line - 1  # lines csv has taken: every line, blank ones included

        def texts() -> Iterator[str]:
            nonlocal read
            for read, text in lines:
                yield text + "\n"

        limit = csv.field_size_limit()
        csv.field_size_limit(OUTCOME_LINE.bytes)  # a cell may be as long as a line, and a quoted one left open
        # cannot take the rest of the file
        try:
            rows = csv.reader(texts(), strict=True)
            header: list[str] | None = None
            columns: dict[str, int] = {}
            get: Callable[[list[str], str], str | None] = lambda row, column: (
                row[columns[column]] if column in columns else None)
            while True:
                first = read + 1
                try:
                    row = next(rows)
                except StopIteration:
                    return
                except csv.Error as error:
                    raise OutcomeProblem(where, f"not CSV: {error}", first) from None
                if not any(cell.strip() for cell in row):
                    continue
                if header is None:
                    header = row
                    columns = {column: index for index, column in enumerate(header)}
                    self._check_header(header, first)
                    continue
                if len(row) != len(header):
                    raise OutcomeProblem(where, f"{len(row)} cells where the header has {len(header)}", first)
                results = []
                for _, model in self.wanted:
                    cell = row[columns[model]]
                    if not cell.strip():
                        raise OutcomeProblem(where, f"no result for {model!r}", first)
                    result = _cell_number(cell)
                    if isinstance(result, str):
                        raise OutcomeProblem(where, f"the result for {model!r} is {result}", first)
                    results.append(result)
                self.add(first, row[columns[name]], results, get(row, "id") or None, get(row, "category") or None)
        finally:
            csv.field_size_limit(limit)

    def _check_header(self, header: list[str], line: int) -> None:
        out, where = self.outcomes, self.where
        shown = ", ".join(map(json.dumps, header[:12])) + (", ..." if len(header) > 12 else "")
        out.models = [column for column in header if column and column not in (self.field, "id", "category")]
        read = out.models if self.models == "all" else [model for _, model in self.wanted]
        twice = next((column for column in (self.field, *read, "id", "category") if header.count(column) > 1), None)
        if twice is not None:
            raise OutcomeProblem(where, f"the column {json.dumps(twice)} is in the header twice: which one holds "
                                        f"it cannot be told", line)
        if self.field not in header:
            raise OutcomeProblem(where, f"no column {json.dumps(self.field)} in the header (columns: {shown}); "
                                        f"{_named(self.setting_names, 'text_field')} names the column that holds the prompt",
                                 line)
        self._known(out.models, line, "the header's columns are")
