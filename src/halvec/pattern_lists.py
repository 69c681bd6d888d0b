"""The classifier's two pattern lists as data: read from a file, written out, and put in
force for a while.

The module's lists, ``_COMPLEX_PATTERNS`` and ``_SIMPLE_PATTERNS``, are looked up by name
at every classification, so a different pair can be tried on any call by binding the names
to other lists and binding them back afterwards (:func:`applied`).

A patterns file is JSON, or TOML when its name ends in ``.toml``: an object (a table) with
a ``"complex"`` list, a ``"simple"`` list or both, each of regular-expression texts as
Python's ``re`` reads them. A list the file leaves out stays as it is in force. What
:func:`as_json` and :func:`as_toml` write, the lists in force, reads back as the same pair.
"""

from __future__ import annotations

import json
import re
import tomllib
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Literal

from halvec._json_keys import DuplicateKey, line_of_repeat, without_duplicates
from halvec.core import model_router as mr
from halvec.reading import OPTION_FILE, NotUtf8, SourceProblem, TooLarge, decode, read_file

# A comment group: appended to an entry that compiles, it changes nothing but the text re
# caches the pattern under.
_UNCACHED = "(?#halvec: checked)"

__all__ = ["LIST_NAMES", "ListName", "PatternFileError", "PatternLists", "applied", "as_json",
           "as_toml", "in_force", "load"]

ListName = Literal["complex", "simple"]
LIST_NAMES: tuple[ListName, ListName] = ("complex", "simple")
"""The two lists, in the order the classifier tries them."""


@dataclass(frozen=True)
class PatternLists:
    """A pair of pattern lists: the complex list and the simple list, in order."""

    complex: tuple[str, ...]
    simple: tuple[str, ...]
    warnings: tuple[str, ...] = field(default=(), compare=False)
    """What ``re`` warned of while reading them from a file (an entry whose meaning a later
    Python will change), each naming the file and the entry."""

    def get(self, name: ListName) -> tuple[str, ...]:
        return self.complex if name == "complex" else self.simple

    def as_dict(self) -> dict[str, list[str]]:
        """``{"complex": [...], "simple": [...]}``: the form a patterns file holds."""
        return {"complex": list(self.complex), "simple": list(self.simple)}


class PatternFileError(SourceProblem, ValueError):
    """A patterns file that cannot be used; the text says where and why."""


def in_force() -> PatternLists:
    """The lists the classifier reads now (entries that are not texts shown as ``str()``)."""
    return PatternLists(tuple(_text(entry) for entry in mr._COMPLEX_PATTERNS),
                        tuple(_text(entry) for entry in mr._SIMPLE_PATTERNS))


def _text(entry: object) -> str:
    return entry if isinstance(entry, str) else str(entry)


@contextmanager
def applied(lists: PatternLists) -> Iterator[None]:
    """Binds the module's two lists to new lists holding ``lists`` for the ``with`` block,
    then binds back the list objects that were there before, whatever happens."""
    saved = mr._COMPLEX_PATTERNS, mr._SIMPLE_PATTERNS
    mr._COMPLEX_PATTERNS, mr._SIMPLE_PATTERNS = list(lists.complex), list(lists.simple)
    try:
        yield
    finally:
        mr._COMPLEX_PATTERNS, mr._SIMPLE_PATTERNS = saved


# --- reading a file ---------------------------------------------------------------------------

def load(path: str, *, base: PatternLists | None = None, where: str | None = None) -> PatternLists:
    """The lists a patterns file gives; a list it leaves out is taken from ``base`` (default:
    the lists in force). Raises :class:`PatternFileError` for a file that cannot be read, is
    not JSON (TOML) of that shape, is larger than its cap
    (:data:`halvec.reading.OPTION_FILE`), or holds an entry that ``re`` refuses. ``where`` names
    the file in messages (default: the path, quoted)."""
    where = where if where is not None else repr(path)
    try:
        data = read_file(path, OPTION_FILE)
    except OSError as error:
        raise PatternFileError(where, f"cannot be read: {error.strerror or error}") from None
    except TooLarge as error:
        raise PatternFileError(where, f"is {error}") from None
    return parse(data, where, toml=path.lower().endswith(".toml"), base=base)


def parse(data: bytes, where: str, *, toml: bool, base: PatternLists | None = None) -> PatternLists:
    """:func:`load` for the bytes of a file; ``where`` names it in messages."""
    try:
        text = decode(data)
    except NotUtf8 as error:
        raise PatternFileError(where, f"is {error}", error.line) from None
    document: object
    if toml:
        try:
            document = tomllib.loads(text)
        except RecursionError:
            raise PatternFileError(where, "is not valid TOML: nested too deeply") from None
        except ValueError as error:  # TOMLDecodeError, or a number too long to convert
            raise PatternFileError(where, f"is not valid TOML: {error}") from None
    else:
        try:
            document = json.loads(text, object_pairs_hook=without_duplicates)
        except DuplicateKey as duplicate:
            raise PatternFileError(where, f"gives the key {json.dumps(duplicate.key)} twice (a JSON object's keys "
                                          f"are given once)", line_of_repeat(text, duplicate.key)) from None
        except json.JSONDecodeError as error:
            raise PatternFileError(where, f"is not valid JSON: {error.msg} (column {error.colno})",
                                   error.lineno) from None
        except RecursionError:
            raise PatternFileError(where, "is not valid JSON: nested too deeply") from None
        except ValueError as error:  # a number too long to convert
            raise PatternFileError(where, f"is not valid JSON: {error}") from None
    kind = "a table" if toml else "an object"
    if not isinstance(document, dict):
        raise PatternFileError(where, f"must hold {kind} with a \"complex\" list, a \"simple\" list "
                                      f"or both, not {_describe(document)}")
    unknown = [key for key in document if key not in LIST_NAMES]
    if unknown:
        raise PatternFileError(where, f"unknown key{'s' if len(unknown) > 1 else ''} "
                                      f"{', '.join(repr(key) for key in unknown)} "
                                      f"(a patterns file holds \"complex\" and \"simple\")")
    if not document:
        raise PatternFileError(where, "holds neither a \"complex\" nor a \"simple\" list")
    lists = base if base is not None else in_force()
    found: dict[str, tuple[str, ...]] = {}
    notes: list[str] = []
    for name in LIST_NAMES:
        if name not in document:
            found[name] = lists.get(name)
            continue
        entries = document[name]
        if not isinstance(entries, list):
            raise PatternFileError(where, f"\"{name}\" must be a list of pattern texts, not {_describe(entries)}")
        for index, entry in enumerate(entries):
            number = f"{index} (numbered from 0)"
            if not isinstance(entry, str):
                raise PatternFileError(where, f"\"{name}\" entry {number} is not a text but {_describe(entry)}",
                                       _line_of(text, entry, toml))
            try:
                with warnings.catch_warnings(record=True) as warned:
                    warnings.simplefilter("always")
                    re.compile(entry)
                    if not warned:  # re warns only when it compiles, not when its cache has the entry:
                        re.compile(entry + _UNCACHED)  # the same pattern under a text of its own
                for warning in warned:  # re's warning of a meaning that will change: said once, here
                    line = _line_of(text, entry, toml)
                    notes.append(f"{where}{f', line {line}' if line is not None else ''}: \"{name}\" entry "
                                 f"{number}, {entry!r}: re warns: {warning.message}")
            except re.error as error:
                at = f" at position {error.pos}" if error.pos is not None else ""
                raise PatternFileError(
                    where, f"\"{name}\" entry {number}, {entry!r}, is not a pattern re accepts: {error.msg}{at}",
                    _line_of(text, entry, toml)) from None
            except (RecursionError, OverflowError) as error:
                raise PatternFileError(
                    where, f"\"{name}\" entry {number}, {entry!r}, is not a pattern re accepts: {error}",
                    _line_of(text, entry, toml)) from None
        found[name] = tuple(entries)
    return PatternLists(found["complex"], found["simple"], tuple(notes))


def _describe(value: object) -> str:
    kinds: list[tuple[type, str]] = [(bool, "a true/false value"), (int, "a number"), (float, "a number"),
                                     (str, "a text"), (list, "a list"), (dict, "an object")]
    if value is None:
        return "null"
    return next((name for kind, name in kinds if isinstance(value, kind)), type(value).__name__)


def _line_of(text: str, entry: object, toml: bool) -> int | None:
    """The line where ``entry`` is written, when the file spells it in one of the usual ways
    and in one place only; else None (the message then names the entry alone)."""
    if not isinstance(entry, str):
        return None
    spellings = {json.dumps(entry, ensure_ascii=False), json.dumps(entry)}
    if toml and "'" not in entry and "\n" not in entry:
        spellings.add(f"'{entry}'")
    places = [at for spelling in spellings for at in _all_positions(text, spelling)]
    if len(set(places)) != 1:
        return None
    return text.count("\n", 0, places[0]) + 1


def _all_positions(text: str, part: str) -> Iterator[int]:
    start = text.find(part)
    while start >= 0:
        yield start
        start = text.find(part, start + 1)


# --- writing ----------------------------------------------------------------------------------

def as_json(lists: PatternLists) -> str:
    """The pair as a JSON patterns file (ASCII, one entry to a line)."""
    return json.dumps(lists.as_dict(), indent=2, ensure_ascii=True) + "\n"


def as_toml(lists: PatternLists, *, comment: Sequence[str] = ()) -> str:
    """The pair as a TOML patterns file: literal strings where the entry allows one (its
    backslashes stay single), else basic strings with escapes; every character that is not
    printable is written as an escape, so the text is safe on a terminal."""
    lines = [f"# {line}" for line in comment]
    for name in LIST_NAMES:
        entries = lists.get(name)
        if not entries:
            lines.append(f"{name} = []")
            continue
        lines.append(f"{name} = [")
        lines.extend(f"    {_toml_string(entry)}," for entry in entries)
        lines.append("]")
    return "\n".join(lines) + "\n"


def _toml_string(text: str) -> str:
    if text.isprintable() and "'" not in text and not _has_surrogate(text):
        return f"'{text}'"
    out = ['"']
    for character in text:
        if character in ('"', "\\"):
            out.append("\\" + character)
        elif character.isprintable() and not _has_surrogate(character):
            out.append(character)
        else:
            code = ord(character)
            if 0xD800 <= code <= 0xDFFF:
                out.append("\\uFFFD")  # TOML text is Unicode: a lone surrogate cannot be written
            elif code <= 0xFFFF:
                out.append(f"\\u{code:04X}")
            else:
                out.append(f"\\U{code:08X}")
    out.append('"')
    return "".join(out)


def _has_surrogate(text: str) -> bool:
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)
