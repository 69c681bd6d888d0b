"""JSON objects that give a key twice, refused: ``json.loads`` would keep the later value
without a word (TOML refuses them)."""

from __future__ import annotations

import json
import re
from typing import Any

__all__ = ["DuplicateKey", "line_of_repeat", "without_duplicates"]


class DuplicateKey(ValueError):
    """A JSON object gives ``key`` twice."""

    def __init__(self, key: str) -> None:
        super().__init__(key)
        self.key: str = key


def without_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """An ``object_pairs_hook`` for :func:`json.loads`: the object, or :class:`DuplicateKey`."""
    document = dict(pairs)
    if len(document) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise DuplicateKey(key)
            seen.add(key)
    return document


def line_of_repeat(text: str, key: str) -> int | None:
    """The line (from 1) where the JSON ``text`` gives ``key`` as a key the second time, to
    name it in an error; None when it cannot be told (the key written with escapes)."""
    places = [match.start() for match in re.finditer(re.escape(json.dumps(key, ensure_ascii=False)) + r"\s*:", text)]
    return text.count("\n", 0, places[1]) + 1 if len(places) > 1 else None
