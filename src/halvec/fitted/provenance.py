"""What a router file says of the data it was fitted on (its ``fitted_on``), read for the
checks that keep a router's figures honest:

- **The prompts.** ``halvec fit`` keeps a digest of its prompts by text (``prompt_digest``):
  each distinct prompt's text, as UTF-8, hashed with BLAKE2b to 8 bytes, the hashes sorted,
  joined and written in base64 on one line (about 148,600 characters for MMLU's 13,932
  distinct prompts). :meth:`Provenance.fitted_share` tells which share of some prompts were
  among them: a router measured on the prompts it was fitted on looks far better than it is.
  Two texts share a hash by chance about once in 2**64 pairs.
- **Its figures there**: the cross-validated APGR (``cv_apgr``), the share of the complex
  tier its cut points were placed for (``shares.complex``) and the fitting data's coverage
  (``coverage``, :mod:`halvec.fitted.coverage`).

``fitted_on`` is for people and kept as it is: a key that is missing or not as ``halvec fit``
writes it (a file fitted by an older version, or edited) reads as unknown (None), never as an
error.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from halvec.fitted.coverage import CoverageSummary

__all__ = ["DIGEST_METHOD", "Provenance", "prompt_digest", "prompt_hash", "repeats"]

DIGEST_METHOD = "blake2b-64"
"""The digest's method: each distinct prompt's text, as UTF-8, hashed with BLAKE2b to 8
bytes; sorted; joined; base64."""
_HASH_SIZE = 8


def prompt_hash(text: str) -> bytes:
    """The 8-byte hash of a prompt's text (lone surrogates, which JSON may hold, kept)."""
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=_HASH_SIZE).digest()


def prompt_digest(texts: Iterable[str]) -> dict[str, Any]:
    """The ``prompt_digest`` of ``fitted_on`` for the prompts ``texts``."""
    hashes = sorted(set(map(prompt_hash, texts)))
    return {"method": DIGEST_METHOD, "distinct": len(hashes), "hashes": base64.b64encode(b"".join(hashes)).decode()}


def repeats(texts: Iterable[str]) -> int:
    """How many of ``texts`` repeat an earlier one exactly."""
    seen: set[str] = set()
    repeated = 0
    for text in texts:
        if text in seen:
            repeated += 1
        else:
            seen.add(text)
    return repeated


def _number(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        number = float(value)
    except OverflowError:  # a whole number past the largest float
        return None
    return number if math.isfinite(number) else None


def _share(value: Any) -> float | None:
    number = _number(value)
    return number if number is not None and 0.0 <= number <= 1.0 else None


@dataclass(frozen=True)
class Provenance:
    """What a router's ``fitted_on`` says, each figure None where it does not say it."""

    cv_apgr: float | None
    """The cross-validated APGR of the files pooled."""
    complex_share: float | None
    """The share of the complex tier the cut points were placed for: the share of strong calls."""
    coverage: CoverageSummary | None
    """The fitting data's coverage."""
    hashes: frozenset[bytes] | None
    """The prompts' hashes (:func:`prompt_hash`)."""

    @classmethod
    def of(cls, fitted_on: Mapping[str, Any]) -> Provenance:
        shares = fitted_on.get("shares")
        return cls(cv_apgr=_number(fitted_on.get("cv_apgr")),
                   complex_share=_share(shares.get("complex")) if isinstance(shares, Mapping) else None,
                   coverage=_coverage(fitted_on.get("coverage")), hashes=_hashes(fitted_on.get("prompt_digest")))

    def fitted_share(self, texts: Sequence[str]) -> float | None:
        """The share of ``texts`` that were among the prompts the router was fitted on; None
        when the file keeps no digest of them (or ``texts`` is empty)."""
        if self.hashes is None or not texts:
            return None
        hashes = self.hashes
        return sum(prompt_hash(text) in hashes for text in texts) / len(texts)


def _coverage(value: Any) -> CoverageSummary | None:
    if not isinstance(value, Mapping):
        return None
    mean, q1, median, q3 = (_share(value.get(key)) for key in ("mean", "q1", "median", "q3"))
    prompts, without = _count(value.get("prompts")), _count(value.get("without_tokens"))
    if mean is None or q1 is None or median is None or q3 is None or prompts is None or without is None:
        return None
    return CoverageSummary(prompts, without, mean, q1, median, q3)


def _count(value: Any) -> int | None:
    return value if type(value) is int and value >= 0 else None


def _hashes(value: Any) -> frozenset[bytes] | None:
    if not isinstance(value, Mapping) or value.get("method") != DIGEST_METHOD:
        return None
    text = value.get("hashes")
    if not isinstance(text, str):
        return None
    try:
        raw = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return None
    if len(raw) % _HASH_SIZE:
        return None
    return frozenset(raw[i:i + _HASH_SIZE] for i in range(0, len(raw), _HASH_SIZE))
