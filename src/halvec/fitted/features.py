"""What a fitted router reads in a description: its tokens, their n-grams, and two counts.

This is the reference the native scorer reproduces exactly (``halvec._fitted``); a fitted
router file records the settings (the longest n-gram) so that the text is read as it was
read when the router was fitted.

- **Tokens.** The text is lower-cased as ``str.lower()`` does it (the full Unicode mapping,
  which may change the number of characters), then cut into tokens: each run of word
  characters (``str.isalnum()`` or ``_``, what ``\\w`` matches in ``re``) and each other
  character that is not whitespace (``str.isspace()``), alone. A run made only of decimal
  digits (``str.isdecimal()``) becomes the token ``<num>``, so "3 apples" and "12 apples" read
  alike. Whitespace separates tokens and is not one.
- **N-grams.** Every run of 1 to ``n`` consecutive tokens, written with one space between
  the tokens (``"how many <num>"``). Tokens never hold whitespace, so the text of an n-gram
  says which tokens it is made of.
- **Counts.** ``words``: the number of whitespace-separated words, ``len(text.split())``;
  ``characters``: ``len(text)``. Both are of the text as given (lower-casing changes neither
  where the whitespace is nor the words).
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterator

__all__ = ["COUNT_NAMES", "MAX_NGRAM", "NUMBER", "counts", "is_token", "ngrams", "spans", "tokens"]

NUMBER = "<num>"
"""The token every run of decimal digits becomes."""
MAX_NGRAM = 3
"""The longest n-gram a router may read (the native scorer's limit)."""
COUNT_NAMES = ("words", "characters")
"""The counts, in the order a router file lists them."""

_TOKEN = re.compile(r"\w+|[^\w\s]")


def spans(text: str) -> Iterator[tuple[str, int, int]]:
    """Each token of ``text`` with where it is in ``text.lower()``: (token, start, end)."""
    for match in _TOKEN.finditer(text.lower()):
        token = match.group()
        yield (NUMBER if token.isdecimal() else token), match.start(), match.end()


def tokens(text: str) -> list[str]:
    """The tokens of ``text``, in order."""
    return [NUMBER if token.isdecimal() else token for token in _TOKEN.findall(text.lower())]


def ngrams(text: str, longest: int = MAX_NGRAM) -> list[str]:
    """Every n-gram of ``text``'s tokens for n from 1 to ``longest``, unigrams first, then the
    bigrams and so on, each in text order. This is the analyzer the fitting gives
    scikit-learn."""
    found = tokens(text)
    grams = list(found)
    for n in range(2, longest + 1):
        grams += [" ".join(found[i:i + n]) for i in range(len(found) - n + 1)]
    return grams


def is_token(text: str) -> bool:
    """Whether ``text`` is a single token as :func:`tokens` gives them (so an n-gram made of
    it can ever be found)."""
    return text == NUMBER or (tokens(text) == [text] and not text.isdecimal())


def counts(text: str) -> tuple[float, float]:
    """``log1p`` of the counts, ``(words, characters)``: the values the router scales."""
    return math.log1p(len(text.split())), math.log1p(len(text))
