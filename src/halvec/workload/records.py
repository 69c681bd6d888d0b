"""A record's task, checked: its description (a field or column, or a chat record's last user
message), its ``"id"``, the model it requests, its token counts (its own fields, or a
``"usage"`` object) and its tools; or the bad line it is, and why.

Two ways, which find the same problems: :meth:`Records.add` a record at a time, and
:meth:`Records.columns` a batch of JSON records a column at a time, which hands a batch that
holds anything to look at closer back to the first."""

from __future__ import annotations

import collections
import itertools
import re
from collections.abc import Callable, Collection, Iterable, Mapping
from functools import partial
from operator import is_, is_not
from typing import Any, Final, cast

from halvec.workload.batch import Account, Batch
from halvec.workload.chat import conversation_tokens, last_user_message
from halvec.workload.json_values import describe, finite, maybe_rounded, show_name

__all__ = ["KEPT_MODEL_NAMES", "TOKEN_FIELDS", "Records"]

KEPT_MODEL_NAMES: Final = 1000
"""How many different model names outside the catalogue are counted by name (the tasks that
name any are all counted)."""

# The names a token count is read under: the second when the first is absent; the same
# inside a "usage" object (OpenAI's chat completions name them prompt_tokens and
# completion_tokens, Anthropic's messages input_tokens and output_tokens), which is read for a
# count the record's own fields do not give.
TOKEN_FIELDS: Final = (("input_tokens", "prompt_tokens"), ("output_tokens", "completion_tokens"))
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
_NONE_TYPE: Final = type(None)
_USAGE_KINDS: Final = frozenset([dict, _NONE_TYPE])
_NO_USAGE: Final[dict[str, Any]] = {}


class Records:
    """Turns records into tasks for one source, and counts what they say of themselves.

    ``field`` is the field or column of the description (None: ``"description"``, or for a
    JSON record without it that has ``"messages"``, its last user message that holds text).
    ``model_field`` names the model a task requests (None: none is read); ``models`` the
    catalogue's model keys, or a mapping of the names a task may give a model by to its key
    (``"auto"`` and an empty name, which leave the choice to the router, are always requests).
    Any other name is not an error: the task requests no model, and the name is counted."""

    def __init__(self, account: Account, *, field: str | None, model_field: str | None,
                 models: Collection[str] | Mapping[str, str]) -> None:
        self.account: Account = account
        self.field: str = field if field is not None else "description"
        self.chat: bool = field is None
        self.model_field: str | None = model_field
        # the request each name a task may give stands for; the names that are requests as
        # they stand (a task that names no model has None)
        self._requests: dict[str | None, str | None] = {}
        self._requests.update(models.items() if isinstance(models, Mapping) else ((key, key) for key in models))
        self._requests.update({"auto": "auto", "": "", None: None})
        self._as_they_stand = frozenset(name for name, request in self._requests.items() if name == request)
        self.chat_tasks: int = 0
        """Tasks whose description is a chat record's last user message, not a field's."""
        self.outside_catalogue: dict[str, int] = {}
        """The model names outside the catalogue that tasks gave, with their tasks: the first
        :data:`KEPT_MODEL_NAMES` different names met (a longer name cut short)."""
        self.outside_catalogue_tasks: int = 0
        """The tasks that named a model outside the catalogue (those whose name was not kept too)."""

    def record(self, batch: Batch, at: int, record: Any) -> None:
        """One JSON value's task into ``batch``, or a bad line."""
        bad = self.account.bad
        if not isinstance(record, dict):
            bad(at, f"not a JSON object but {describe(record)}")
            return
        ident = record.get("id")
        if maybe_rounded(ident) and not finite(ident):
            bad(at, "the field \"id\" holds NaN or an infinity, which strict JSON cannot carry; "
                    "give the id as a text (\"NaN\")")
            return
        if self.field not in record and self.chat and "messages" in record:
            description, problem = last_user_message(record["messages"])
            if description is None:
                bad(at, problem)
                return
            if self.add(batch, at, {**record, self.field: description}, "field", conversation_tokens(record)):
                self.chat_tasks += 1
            return
        self.add(batch, at, record, "field")

    def add(self, batch: Batch, at: int, record: dict[str, Any], kind: str, estimate: int | None = None,
            get: Callable[[str], Any] | None = None) -> bool:
        """One record's task into ``batch``, or a bad line (False). ``kind`` is ``"field"`` for
        a JSON record, ``"column"`` for a CSV record (read through ``get``); ``estimate`` the
        input estimate of a chat record."""
        bad = self.account.bad
        if get is None:
            get = record.get
        if self.field not in record:
            fields = ", ".join(map(show_name, list(record)[:10])) + (", ..." if len(record) > 10 else "")
            bad(at, f"no {kind} {show_name(self.field)} ({kind}s: {fields or 'none'})",
                "field" if kind == "field" else "column")
            return False
        description = get(self.field)
        if not isinstance(description, str):
            bad(at, f"the {kind} {show_name(self.field)} is {describe(description)}, not a text")
            return False
        model = get(self.model_field) if self.model_field is not None else None
        if model is not None and not isinstance(model, str):
            bad(at, f"the {kind} {show_name(cast(str, self.model_field))} is {describe(model)}, not the name of "
                    f"a model")
            return False
        outside = model not in self._requests
        counts: list[int | None] = []
        usage: Any = _UNREAD
        for column, (name, alias) in enumerate(TOKEN_FIELDS):
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
                        bad(at, f"the field \"{_USAGE}\" is {describe(usage)}, not an object of token counts")
                        return False
                    count, problem = _usage_count(usage, column)
                    if problem is not None:
                        bad(at, problem)
                        return False
                    counts.append(count)
                    continue
            count = _token_count(value, text=kind == "column")
            if count is not None and count < 0:
                bad(at, _not_a_count(f"the {kind} \"{name}\"", value))
                return False
            counts.append(count)
        if outside:
            self.count_outside([cast(str, model)])
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

    def columns(self, batch: Batch, records: list[dict[str, Any]]) -> bool:
        """Fills the optional columns from ``records``; False if any value is one the slow
        path must look at (to report it, or to find it is fine). Reads only what :meth:`add`
        reads, so that both find the same problems."""
        get = dict.get
        # a column equal to this one is absent (the comparison stops at the first value)
        absent = [None] * len(records)
        ids = list(map(get, records, itertools.repeat("id")))
        if not set(map(type, ids)).isdisjoint((float, list, dict)) and any(map(maybe_rounded, ids)):
            return False  # NaN or an infinity, or a long integer orjson rounded perhaps
        if ids != absent:
            batch.ids = ids
        tools = list(map(get, records, itertools.repeat("tools")))
        if tools != absent:
            batch.tool_counts = [len(value) if type(value) is list else None for value in tools]
        usages: list[dict[str, Any]] | None = None  # read only for counts the flat fields leave out
        for column, (name, alias) in enumerate(TOKEN_FIELDS):
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
                        c.is_integer() and not maybe_rounded(c) for c in counts if type(c) is float):
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
                    self.count_outside(cast(list[str], list(outside)))
                    models = [None if request is _OUTSIDE else request for request in requests]
                batch.models = models
        return True

    def count_outside(self, names: list[str]) -> None:
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


# --- token counts ------------------------------------------------------------------------------

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
    return f"{where} is {describe(value)}, not a count of tokens (a whole number, 0 or more)"


def _usage_count(usage: dict[str, Any], column: int) -> tuple[int | None, str | None]:
    """The input (column 0) or output (1) count a ``"usage"`` object gives: (count or None,
    None), or (None, the problem of a value that is not a count)."""
    name, alias = TOKEN_FIELDS[column]
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
    name, alias = TOKEN_FIELDS[column]
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
