"""JSON objects that give a key twice, refused: ``json.loads`` would keep the later value
without a word (TOML refuses them)."""

from __future__ import annotations

from typing import Any

__all__ = ["DuplicateKey", "without_duplicates"]


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
