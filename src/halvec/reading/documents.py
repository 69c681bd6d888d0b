"""A small settings document (prices, a catalogue) parsed from its text, TOML or JSON, by the
standard library's parsers: whatever makes it no document is one :class:`SourceProblem`."""

from __future__ import annotations

import json
import tomllib
from typing import Any, NoReturn

from halvec._json_keys import DuplicateKey, line_of_repeat, without_duplicates
from halvec.reading.problems import SourceProblem

__all__ = ["parsed_document"]


class _Constant(Exception):
    pass


def _no_constant(name: str) -> NoReturn:
    raise _Constant(name)


def parsed_document(text: str, where: str, refused: type[SourceProblem], *, toml: bool, number: str) -> Any:
    """The document ``text`` holds, TOML or JSON; ``refused(where, problem, line)`` when it holds
    none: not valid, nested too deeply, a number too long to convert, a key written twice (with
    the line of the repeat, in JSON; TOML's parser refuses it itself) or JSON's ``NaN`` or
    ``Infinity`` (``number`` says what a number must be: "a price (…)")."""
    if toml:
        try:
            return tomllib.loads(text)
        except RecursionError:
            raise refused(where, "not valid TOML: nested too deeply") from None
        except ValueError as error:  # TOMLDecodeError (a key written twice among them): it names the line
            raise refused(where, f"not valid TOML: {error}") from None
    try:
        return json.loads(text, object_pairs_hook=without_duplicates, parse_constant=_no_constant)
    except json.JSONDecodeError as error:
        raise refused(where, f"not valid JSON: {error.msg} (column {error.colno})", error.lineno) from None
    except DuplicateKey as duplicate:
        raise refused(where, f"the key {duplicate.key!r} is written twice", line_of_repeat(text, duplicate.key)) from None
    except _Constant as constant:
        raise refused(where, f"{constant} is not {number}") from None
    except RecursionError:
        raise refused(where, "not valid JSON: nested too deeply") from None
    except ValueError as error:  # a number too long to convert
        raise refused(where, f"not valid JSON: {error}") from None
