"""A user's own catalogue: models to add to the router's catalogue (``AVAILABLE_MODELS``), or
to put in its place, read from a file.

A catalogue file is TOML when its name ends in ``.toml``, JSON otherwise::

    mode = "add"                  # or "replace": the file's models are then the whole catalogue
    [models.local-coder]          # the model key
    provider = "ollama"
    id = "qwen2.5-coder:7b"       # the provider's model id
    display_name = "Local coder"
    tier = "moderate"             # simple, moderate or complex
    input = 0.0                   # price per 1,000 input tokens
    output = 0.0                  # price per 1,000 output tokens
    description = "..."           # optional

It is refused whole when anything in it is wrong, in one line that names the file and, where it
can, the line: a key the file may not hold, a field missing, a price that is not a finite number
from 0 to :data:`halvec.evaluation.MOST_PRICE`, a tier that is not one, a key written twice, a
key (with ``"add"``) or an id that is already the catalogue's, or (with ``"replace"``) a
catalogue without ``claude-sonnet``, which the router takes as its last resort.

:func:`load_catalogue` reads a file; :func:`applied` puts its models in force for a while (the
command line does so for a command's run) and puts the catalogue back as it was after.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Final, Literal

from halvec.core import model_router as mr
from halvec.evaluation.prices import PRICE_RULE, NotAPrice, price_of
from halvec.reading import OPTION_FILE, NotUtf8, SourceProblem, TooLarge, parsed_document, read_text_file, unknown

__all__ = ["LAST_RESORT", "MODES", "Catalogue", "CatalogueFileError", "applied", "load_catalogue"]

MODES: Final = ("add", "replace")
LAST_RESORT: Final = "claude-sonnet"
"""The key the router returns, untested, when nothing is usable: a catalogue must hold it."""
_TOP: Final = ("mode", "models")
_FIELDS: Final = ("provider", "id", "display_name", "tier", "input", "output", "description")
_REQUIRED: Final = ("provider", "id", "display_name", "tier", "input", "output")
_TIERS: Final = ("simple", "moderate", "complex")


class CatalogueFileError(SourceProblem, ValueError):
    """A catalogue file that cannot be used: the file, the line where known, and why."""


@dataclass(frozen=True)
class Catalogue:
    """The models of a catalogue file and what it does with them."""

    models: dict[str, mr.ModelSpec]
    """By key, in the file's order."""
    mode: Literal["add", "replace"]
    source: str
    """The file, as the user named it."""

    def in_force(self, catalogue: Mapping[str, mr.ModelSpec] | None = None) -> dict[str, mr.ModelSpec]:
        """The catalogue with this file's models: added to ``catalogue`` (None: the one in
        force, ``AVAILABLE_MODELS``), or in its place."""
        base = mr.AVAILABLE_MODELS if catalogue is None else catalogue
        return dict(self.models) if self.mode == "replace" else {**base, **self.models}


def load_catalogue(path: str) -> Catalogue:
    """The catalogue file at ``path``, checked against the catalogue in force. OSError when it
    cannot be read; :class:`CatalogueFileError` (naming the file as the path) for what is wrong
    in it."""
    where = repr(path)
    try:
        text = read_text_file(path, OPTION_FILE)
    except TooLarge as error:
        raise CatalogueFileError(where, str(error)) from None
    except NotUtf8 as error:
        raise CatalogueFileError(where, str(error), error.line) from None
    toml = path.lower().endswith(".toml")
    return _Checker(text, where, toml).catalogue(parsed_document(text, where, CatalogueFileError, toml=toml,
                                                                  number=PRICE_RULE), path)


def _first_line(text: str, needle: str) -> int | None:
    at = text.find(needle)
    return None if at < 0 else text.count("\n", 0, at) + 1


class _Checker:
    """The checks of one file's document, each refusal with the line of the model it is about
    where the file's text shows it (the parsers give no lines for what they accept)."""

    def __init__(self, text: str, where: str, toml: bool) -> None:
        self.text = text
        self.where = where
        self.toml = toml

    def refused(self, problem: str, key: str | None = None) -> CatalogueFileError:
        return CatalogueFileError(self.where, problem, None if key is None else self.line_of(key))

    def line_of(self, key: str) -> int | None:
        """The line where the model ``key`` starts: its table's header in TOML, its name in JSON."""
        if self.toml:
            quoted = re.escape(key), re.escape(json.dumps(key)), re.escape(f"'{key}'")
            header = re.compile(rf"^[ \t]*\[[ \t]*models[ \t]*\.[ \t]*(?:{'|'.join(quoted)})[ \t]*\]", re.MULTILINE)
            found = header.search(self.text)
            return None if found is None else self.text.count("\n", 0, found.start()) + 1
        return _first_line(self.text, json.dumps(key))

    def catalogue(self, document: Any, path: str) -> Catalogue:
        if not isinstance(document, dict):
            raise self.refused("must hold a \"models\" table of models, and may hold \"mode\"")
        for key in document:
            if key not in _TOP:
                raise self.refused(unknown("key", key, _TOP))
        mode = document.get("mode", "add")
        if mode not in MODES:
            raise self.refused(f"\"mode\" is {json.dumps(mode, default=str)[:40]}: give \"add\" (add the models to "
                               f"the catalogue) or \"replace\" (put them in its place)")
        models = document.get("models")
        if not isinstance(models, dict) or not models:
            raise self.refused("needs a \"models\" table with a table for each model: provider, id, display_name, "
                               "tier, input and output (prices per 1,000 tokens)")
        built_in = mr.AVAILABLE_MODELS
        specs: dict[str, mr.ModelSpec] = {}
        ids: dict[str, str] = {} if mode == "replace" else {spec.id: key for key, spec in built_in.items()}
        for key, entry in models.items():
            if not key.strip() or key != key.strip():
                raise self.refused(f"\"models\": the model key {key!r} is blank or has blanks around it", key)
            if key == "auto":
                raise self.refused("\"models\": \"auto\" leaves the choice to the router: it cannot be a model key",
                                   key)
            if mode == "add" and key in built_in:
                raise self.refused(f"\"models\": {key!r} is already a key of the catalogue (mode = \"replace\" puts "
                                   f"the file's models in the catalogue's place)", key)
            spec = self.spec(key, entry)
            if spec.id in ids:
                raise self.refused(f"\"models\".{json.dumps(key)}: the id {spec.id!r} is also the id of "
                                   f"{ids[spec.id]!r} (the router tells models apart by their ids)", key)
            ids[spec.id] = key
            specs[key] = spec
        if mode == "replace" and LAST_RESORT not in specs:
            raise self.refused(f"a catalogue that replaces the built-in one must hold {LAST_RESORT!r}: the router "
                               f"returns it when no model is usable")
        return Catalogue(specs, "replace" if mode == "replace" else "add", path)

    def spec(self, key: str, entry: Any) -> mr.ModelSpec:
        name = f"\"models\".{json.dumps(key)}"
        if not isinstance(entry, dict):
            raise self.refused(f"{name} must be a table with {', '.join(_REQUIRED)}", key)
        for field in entry:
            if field not in _FIELDS:
                raise self.refused(f"{name}: {unknown('field', field, _FIELDS)}", key)
        for field in _REQUIRED:
            if field not in entry:
                raise self.refused(f"{name} has no \"{field}\"", key)
        texts = {}
        for field in ("provider", "id", "display_name", "description"):
            value = entry.get(field, "")
            if not isinstance(value, str) or (field != "description" and not value.strip()):
                raise self.refused(f"{name}.\"{field}\" must be a text that is not blank", key)
            texts[field] = value
        tier = entry["tier"]
        if tier not in _TIERS:
            raise self.refused(f"{name}.\"tier\" is {json.dumps(tier, default=str)[:40]}: give "
                               f"{', '.join(_TIERS[:-1])} or {_TIERS[-1]}", key)
        prices = [self.price(entry[field], f"{name}.\"{field}\"", key) for field in ("input", "output")]
        return mr.ModelSpec(id=texts["id"], provider=texts["provider"], display_name=texts["display_name"],
                            complexity_tier=mr.Complexity(tier), description=texts["description"],
                            cost_per_1k_input=prices[0], cost_per_1k_output=prices[1])

    def price(self, value: Any, name: str, key: str) -> float:
        try:
            return price_of(value, name)
        except NotAPrice as error:
            raise self.refused(str(error), key) from None


@contextmanager
def applied(models: Mapping[str, mr.ModelSpec]) -> Iterator[None]:
    """``models`` as the catalogue (``AVAILABLE_MODELS``, changed in place: whoever holds it
    sees them), and the catalogue as it was put back after. A catalogue that already holds
    exactly ``models`` is left alone (another thread may be reading it)."""
    catalogue = mr.AVAILABLE_MODELS
    saved = dict(catalogue)
    if saved == dict(models) and list(saved) == list(models):
        yield
        return
    catalogue.clear()
    catalogue.update(models)
    try:
        yield
    finally:
        catalogue.clear()
        catalogue.update(saved)
