"""The fitted router file: versioned JSON that a person can read and edit.

An example, shortened (``docs/fitted_routers.md`` describes every key)::

    {
      "format": "halvec fitted router",
      "version": 1,
      "name": "mmlu",
      "about": "score = intercept + n-gram terms + count terms; ...",
      "longest_ngram": 3,
      "intercept": 0.1252,
      "cuts": {"moderate": 0.0871, "complex": 0.1694},
      "counts": {"words": {"weight": 0.0153, "mean": 3.91, "scale": 0.82},
                 "characters": {"weight": -0.0051, "mean": 5.52, "scale": 0.79}},
      "ngrams": [["tumor", 0.4117, 7.12], ["<num> ,", 0.3861, 3.4], ...],
      "fitted_on": {"files": [{"name": "mmlu.jsonl", "prompts": 14037}], "strong": "...", ...}
    }

The score of a text (higher: more complex, better sent to the strong model) is::

    score = intercept
          + sum over the file's n-grams found in the text of weight * (1 + ln count) * idf / norm
          + sum over the counts of weight * (log1p(count) - mean) / scale

where ``count`` is how often the n-gram occurs and ``norm`` is the Euclidean length of the
found n-grams' ``(1 + ln count) * idf`` (no n-gram found: no n-gram term). How a text is read
(tokens, n-grams, counts) is :mod:`halvec.fitted.features`. The tier is complex from
``cuts.complex`` up, moderate from ``cuts.moderate`` up, else simple.

``ngrams`` is a list of ``[text, weight, idf]``, strongest towards complex first. ``name``,
``about`` and ``fitted_on`` are for people: ``fitted_on`` records the data and settings the
router was fitted on and its cross-validated figures, and is kept as it is.

Version 2 files, routers that predict each of several models' result and choose among them by
result and price, are :mod:`halvec.fitted.models_file`; :func:`load`, :func:`parse` and
:func:`dumps` read and write either version.
"""

from __future__ import annotations

import json
import math
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from halvec._json_keys import DuplicateKey, without_duplicates
from halvec.fitted import features
from halvec.reading import ROUTER_FILE, NotUtf8, SourceProblem, TooLarge, decode, read_file

if TYPE_CHECKING:
    from halvec.fitted.models_file import ModelsSpec

__all__ = ["FORMAT", "MOST_SCORE", "VERSION", "CountTerm", "RouterFileError", "RouterSpec", "dumps", "load", "parse"]

FORMAT = "halvec fitted router"
VERSION = 1
"""The version of the files that score one model's gain over another (:class:`RouterSpec`)."""
VERSIONS = (1, 2)
"""The versions this halvec reads (version 2: :class:`~halvec.fitted.models_file.ModelsSpec`)."""
ABOUT = ("score = intercept + sum of weight * (1 + ln count) * idf / norm over the n-grams found "
         "+ sum of weight * (log1p(count) - mean) / scale over the counts; complex from cuts.complex up, "
         "moderate from cuts.moderate up, else simple (see halvec's docs/fitted_routers.md)")

_KEYS = {"format", "version", "name", "about", "longest_ngram", "intercept", "cuts", "counts", "ngrams", "fitted_on"}
_REQUIRED = ("format", "version", "longest_ngram", "intercept", "cuts", "counts", "ngrams")


class RouterFileError(SourceProblem, ValueError):
    """A fitted router file that cannot be used: which file (None for a file's content not
    yet named) and why."""


@dataclass(frozen=True, slots=True)
class CountTerm:
    """One count's term of the score: ``weight * (log1p(count) - mean) / scale``."""

    weight: float
    mean: float
    scale: float


@dataclass(frozen=True)
class RouterSpec:
    """A fitted router, as its file gives it (checked)."""

    name: str
    longest_ngram: int
    intercept: float
    cuts: tuple[float, float]
    """(moderate, complex): the lowest scores of the moderate and the complex tier."""
    counts: dict[str, CountTerm]
    """By name: ``words`` and ``characters``."""
    ngrams: list[str]
    weights: list[float]
    idf: list[float]
    fitted_on: dict[str, Any] = field(default_factory=dict)

    def document(self) -> dict[str, Any]:
        """The JSON object of the file, n-grams strongest towards complex first."""
        order = sorted(range(len(self.ngrams)), key=lambda i: (-self.weights[i], self.ngrams[i]))
        return {
            "format": FORMAT, "version": VERSION, "name": self.name, "about": ABOUT,
            "longest_ngram": self.longest_ngram, "intercept": self.intercept,
            "cuts": {"moderate": self.cuts[0], "complex": self.cuts[1]},
            "counts": {name: {"weight": term.weight, "mean": term.mean, "scale": term.scale}
                       for name, term in self.counts.items()},
            "ngrams": [[self.ngrams[i], self.weights[i], self.idf[i]] for i in order],
            "fitted_on": self.fitted_on,
        }


def dumps(spec: RouterSpec | ModelsSpec) -> str:
    """The file's text: one n-gram a line, so that it reads (and diffs) as a list. A lone
    surrogate (a prompt's JSON may hold one, and then an n-gram, a file's name too) is
    written as its escape, ``\\ud800``: the text is UTF-8, and reads back as written."""
    document = spec.document()
    ngrams = document.pop("ngrams")
    fitted_on = document.pop("fitted_on")
    lines = ["{"]
    for key, value in document.items():
        lines.append(f"  {json.dumps(key)}: {json.dumps(value, ensure_ascii=False)},")
    lines.append('  "ngrams": [')
    lines += [f"    {json.dumps(item, ensure_ascii=False)}," for item in ngrams]
    if ngrams:
        lines[-1] = lines[-1].rstrip(",")
    lines.append("  ],")
    lines.append(f'  "fitted_on": {json.dumps(fitted_on, ensure_ascii=False, indent=2)}'.replace("\n", "\n  "))
    lines.append("}")
    return _LONE_SURROGATE.sub(lambda found: f"\\u{ord(found.group()):04x}", "\n".join(lines) + "\n")


# (json.dumps writes text as it is, lone surrogates too, only inside a string: there an
# escape stands for it)
_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def load(path: str) -> RouterSpec | ModelsSpec:
    """Reads and checks a router file of either version. OSError when it cannot be read;
    RouterFileError (naming the file) when it is not a complete, sensible router file, or is
    larger than its cap (:data:`halvec.reading.ROUTER_FILE`)."""
    try:
        raw = read_file(path, ROUTER_FILE)
    except TooLarge as error:
        raise RouterFileError(repr(path), str(error)) from None
    default_name = os.path.splitext(os.path.basename(path))[0] or "fitted"
    try:
        return parse(raw, default_name)
    except RouterFileError as error:
        raise error.named(repr(path)) from None


# --- checking --------------------------------------------------------------------------------

def _refused(problem: str) -> RouterFileError:
    """The problem of a file's content, not yet named (:func:`load` names it)."""
    return RouterFileError(None, problem)


def _no_constant(name: str) -> Any:
    raise _refused(f"{name} is not a number a router can use (only finite numbers are)")


def parse(raw: bytes | str, default_name: str = "fitted") -> RouterSpec | ModelsSpec:
    """A router from a file's content, of either version; RouterFileError when it is not one."""
    try:
        text = decode(raw) if isinstance(raw, bytes) else raw
    except NotUtf8 as error:
        raise _refused(f"not a router file: not UTF-8 text (byte {error.offset})") from None
    try:
        document = json.loads(text, object_pairs_hook=without_duplicates, parse_constant=_no_constant)
    except json.JSONDecodeError as error:
        end = error.pos >= len(text.rstrip())
        raise _refused(
            f"not a router file: {'it ends too soon (cut short?)' if end else 'not JSON'}: {error.msg} "
            f"at line {error.lineno}, column {error.colno}") from None
    except DuplicateKey as duplicate:
        raise _refused(f"the key {duplicate.key!r} is there twice in one object") from None
    except RecursionError:
        raise _refused("not a router file: nested too deeply") from None
    except RouterFileError:
        raise
    except ValueError:  # a whole number of more digits than int() reads
        raise _refused("not a router file: a number with too many digits to read") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise _refused(f'not a router file (it has no "format": "{FORMAT}")')
    version = document.get("version")
    if version not in VERSIONS or isinstance(version, bool):
        raise RouterFileError(None, f"version {version!r} is not one this halvec reads (it reads versions "
                                    f"{' and '.join(map(str, VERSIONS))})")
    if version == 2:
        from halvec.fitted import models_file  # (it builds on this module's checks)
        return models_file.from_document(document, default_name)
    check_keys(document, _REQUIRED, _KEYS)
    name = name_of(document, default_name)
    longest = longest_of(document)
    intercept = number(document["intercept"], '"intercept"')
    cuts = _cuts(document["cuts"])
    counts = _counts(document["counts"])
    ngrams, weights, idf = _ngrams(document["ngrams"], longest)
    fitted_on = fitted_on_of(document)
    check_bounded(intercept, counts, weights)
    return RouterSpec(name=name, longest_ngram=longest, intercept=intercept, cuts=cuts, counts=counts,
                      ngrams=ngrams, weights=weights, idf=idf, fitted_on=fitted_on)


def check_keys(document: dict[str, Any], required: Sequence[str], keys: set[str]) -> None:
    """Refuses a document that lacks one of ``required`` or holds a key not in ``keys``."""
    missing = [key for key in required if key not in document]
    if missing:
        raise RouterFileError(None, f"the key {missing[0]!r} is missing")
    unknown = sorted(set(document) - keys)
    if unknown:
        raise RouterFileError(None, f"unknown key {unknown[0]!r} (the keys are {', '.join(sorted(keys))})")


def name_of(document: dict[str, Any], default_name: str) -> str:
    """The router's ``name``, ``default_name`` where the file gives none."""
    name = document.get("name", default_name)
    if not isinstance(name, str) or not name.strip():
        raise RouterFileError(None, '"name" must be a non-empty text')
    return name


def longest_of(document: dict[str, Any]) -> int:
    """The file's ``longest_ngram``."""
    longest = document["longest_ngram"]
    if not isinstance(longest, int) or isinstance(longest, bool) or not 1 <= longest <= features.MAX_NGRAM:
        raise _refused(f'"longest_ngram" must be a whole number from 1 to {features.MAX_NGRAM}, '
                              f"not {longest!r}")
    return longest


def fitted_on_of(document: dict[str, Any]) -> dict[str, Any]:
    """The file's ``fitted_on``, kept as it is (empty where there is none)."""
    fitted_on = document.get("fitted_on", {})
    if not isinstance(fitted_on, dict):
        raise RouterFileError(None, '"fitted_on" must be an object')
    return fitted_on


# The most a count's log1p can be: a text's length is below 2**63 (a str's length is a Py_ssize_t).
_MOST_LOG_COUNT = math.log1p(2.0 ** 63)
# The largest score a router may be able to give: far above any fitted one (a score is a
# predicted gain in results, near 1 or below), and a tenth of the largest double, so that
# rounding in the sums cannot carry a score past it.
MOST_SCORE = 1e307


def check_bounded(intercept: float, counts: dict[str, CountTerm], weights: Sequence[float]) -> None:
    """Refuses a router some text would give a score that is not a finite number: the score
    is at most ``|intercept|`` + the sum of ``|weight|`` (each n-gram's share of the norm is at
    most 1) + each count term's ``|weight| * (|mean| + most log1p(count)) / scale``, and each
    step of a count term must be finite too (``weight * (log1p(count) - mean) / scale``: a
    scale of 1e-320 makes it infinite, and two infinite terms of opposite signs make NaN)."""
    bound = abs(intercept) + sum(map(abs, weights))
    for name, term in counts.items():
        product = abs(term.weight) * (abs(term.mean) + _MOST_LOG_COUNT)
        part = product / term.scale
        if not part <= MOST_SCORE:
            raise _refused(
                f'the "counts"."{name}" term can reach {part:.3g}: a weight of {term.weight!r}, a mean of '
                f"{term.mean!r} and a scale of {term.scale!r} make scores that are not finite numbers (a count "
                f"term may add at most {MOST_SCORE:g})")
        bound += part
    if not bound <= MOST_SCORE:
        raise _refused(
            f"scores could reach {bound:.3g}: the intercept, the n-grams' weights and the count terms add up to "
            f"more than {MOST_SCORE:g}, beyond which a score is not sure to be a finite number")


def number(value: Any, what: str) -> float:
    """``value`` as a finite float; RouterFileError naming ``what`` when it is not one."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise RouterFileError(None, f"{what} must be a number, not {shown(value)}")
    try:
        number = float(value)
    except OverflowError:  # a whole number past the largest float
        number = math.inf
    if not math.isfinite(number):
        raise RouterFileError(None, f"{what} must be a finite number, not {shown(value)}")
    return number


def shown(value: Any) -> str:
    """``value`` as the file holds it, cut short."""
    text = json.dumps(value, ensure_ascii=False) if not isinstance(value, float) else repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def an_object(value: Any, what: str, keys: Sequence[str], optional: Sequence[str] = ()) -> dict[str, Any]:
    """``value``, an object with ``keys`` and perhaps ``optional`` ones, and no other."""
    every = [*keys, *optional]
    if not isinstance(value, dict):
        raise RouterFileError(None, f"{what} must be an object with {', '.join(every)}")
    for key in keys:
        if key not in value:
            raise RouterFileError(None, f"{what} has no {key!r}")
    extra = sorted(set(value) - set(every))
    if extra:
        raise RouterFileError(None, f"{what} has an unknown key {extra[0]!r} (it holds {', '.join(every)})")
    return value


def _cuts(value: Any) -> tuple[float, float]:
    cuts = an_object(value, '"cuts"', ("moderate", "complex"))
    moderate = number(cuts["moderate"], '"cuts"."moderate"')
    complex_ = number(cuts["complex"], '"cuts"."complex"')
    if moderate > complex_:
        raise _refused(f'the cuts are out of order: "moderate" ({moderate!r}) is above "complex" '
                              f"({complex_!r}); the moderate tier starts below the complex one")
    return moderate, complex_


def _counts(value: Any) -> dict[str, CountTerm]:
    counts = an_object(value, '"counts"', features.COUNT_NAMES)
    terms = {}
    for name in features.COUNT_NAMES:
        what = f'"counts"."{name}"'
        term = an_object(counts[name], what, ("weight", "mean", "scale"))
        scale = number(term["scale"], f"{what}.scale")
        if scale <= 0:
            raise RouterFileError(None, f"{what}.scale must be above 0, not {term['scale']!r}")
        terms[name] = CountTerm(number(term["weight"], f"{what}.weight"), number(term["mean"], f"{what}.mean"),
                                scale)
    return terms


def _ngrams(value: Any, longest: int) -> tuple[list[str], list[float], list[float]]:
    if not isinstance(value, list):
        raise _refused('"ngrams" must be a list of [text, weight, idf]')
    texts: list[str] = []
    weights: list[float] = []
    idf: list[float] = []
    seen: set[str] = set()
    for index, item in enumerate(value):
        what = f'"ngrams" item {index}'
        if not isinstance(item, list) or len(item) != 3 or not isinstance(item[0], str):
            raise RouterFileError(None, f"{what} must be [text, weight, idf], not {shown(item)}")
        text = item[0]
        check_ngram(text, what, longest, seen)
        weight = number(item[1], f"{what} ({text!r}) weight")
        inverse = number(item[2], f"{what} ({text!r}) idf")
        if inverse <= 0:
            raise _refused(f"{what} ({text!r}): the idf must be above 0, not {item[2]!r}")
        texts.append(text)
        weights.append(weight)
        idf.append(inverse)
    return texts, weights, idf


def check_ngram(text: str, what: str, longest: int, seen: set[str]) -> None:
    """Refuses an n-gram's text the router could never find, or one in ``seen``; adds it there."""
    parts = text.split(" ")
    if not 1 <= len(parts) <= longest or not all(features.is_token(part) for part in parts):
        raise RouterFileError(
            None, f"{what}: {text!r} is not an n-gram the router can find: 1 to {longest} tokens (lower-case "
            f"runs of letters, digits and _, or single other characters, or {features.NUMBER}) joined by "
            f"single spaces")
    if text in seen:
        raise RouterFileError(None, f"{what}: the n-gram {text!r} is there twice")
    seen.add(text)
