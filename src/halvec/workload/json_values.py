"""JSON as the task readers read it: with ``orjson`` when it is installed and the standard
library's ``json`` otherwise, both reading the same text the same way; and how a value is
named in a message."""

from __future__ import annotations

import importlib
import json
import math
from collections.abc import Callable
from typing import Any, Final

__all__ = ["HAVE_ORJSON", "describe", "fast_json", "fast_loads", "finite", "loads", "maybe_rounded", "show_name"]


def _json_loads() -> tuple[Callable[[str | bytes], Any], bool]:
    try:
        module = importlib.import_module("orjson")
    except ImportError:
        return json.loads, False
    fast: Callable[[str | bytes], Any] = module.loads
    return fast, True


fast_loads: Callable[[str | bytes], Any]
HAVE_ORJSON: bool
fast_loads, HAVE_ORJSON = _json_loads()
"""``orjson.loads`` (or ``json.loads`` without it), and whether it is orjson's (read from this
module at each use: a test may put ``json.loads`` in its place)."""


def fast_json() -> bool:
    """Whether JSON lines are read with ``orjson``."""
    return HAVE_ORJSON


# orjson reads an integer outside [-2**63, 2**64) as the nearest float, where json keeps it
# whole: a float of this size or more in what orjson read may be such an integer.
_WHOLE_LIMIT: Final = float(1 << 63)


def maybe_rounded(value: Any) -> bool:
    """Whether orjson's reading of a value may differ from json's, or it holds what strict
    JSON cannot: a float that may be a long integer rounded, or is not finite, anywhere
    inside it."""
    kind = type(value)
    if kind is float:
        return not -_WHOLE_LIMIT < value < _WHOLE_LIMIT
    try:
        if kind is list:
            return any(map(maybe_rounded, value))
        if kind is dict:
            return any(map(maybe_rounded, value.values()))
    except RecursionError:
        return True
    return False


def loads(line: str) -> Any:
    """One JSON text as the standard library reads it (``orjson`` first, when installed)."""
    try:
        value = fast_loads(line)
    except (ValueError, TypeError, RecursionError):
        if fast_loads is json.loads:
            raise
    else:
        if fast_loads is json.loads or not maybe_rounded(value):
            return value
    return json.loads(line)


def finite(value: Any) -> bool:
    """Whether no float inside ``value`` is NaN or an infinity."""
    kind = type(value)
    if kind is float:
        return math.isfinite(value)
    try:
        if kind is list:
            return all(map(finite, value))
        if kind is dict:
            return all(map(finite, value.values()))
    except RecursionError:
        return False
    return True


def show_name(name: str) -> str:
    """A field's or column's name as a message quotes it."""
    return json.dumps(name, ensure_ascii=False)


def describe(value: object) -> str:
    """A value as a message names it: ``null``, ``the number 3``, ``the text "..."``, ``a list``."""
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
