"""The name a mistyped name was most likely meant to be, for a message that names the valid
choices."""

from __future__ import annotations

import difflib
from collections.abc import Sequence

__all__ = ["near_miss", "unknown"]


def near_miss(text: str, valid: Sequence[str]) -> str | None:
    """The valid choice ``text`` was most likely meant to be, if one stands out.

    Only a hint for a message: matching itself stays exact. Letter case, blanks and
    punctuation aside, a choice stands out when it is ``text``, when it is the only choice
    that contains ``text`` (of three characters or more), or when it is spelt much like it."""
    wanted = _folded(text)
    if not wanted:
        return None
    by_folded = {_folded(choice): choice for choice in valid}
    if wanted in by_folded:
        return by_folded[wanted]
    containing = [choice for folded, choice in by_folded.items() if wanted in folded]
    if len(containing) == 1 and len(wanted) >= 3:
        return containing[0]
    close = difflib.get_close_matches(wanted, list(by_folded), n=1, cutoff=0.8)
    return by_folded[close[0]] if close else None


def unknown(what: str, key: str, valid: Sequence[str]) -> str:
    """``unknown key 'x' (choose from a, b); did you mean 'y'?``: a key a file may not hold."""
    hint = near_miss(key, valid)
    return (f"unknown {what} {key!r} (choose from {', '.join(valid)})"
            + (f"; did you mean {hint!r}?" if hint is not None else ""))


def _folded(text: str) -> str:
    return "".join(c for c in text.casefold() if c.isalnum())
