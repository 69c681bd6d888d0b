"""The pattern engine of halvec.core.model_router, for the package (private)."""

import re
from collections.abc import Buffer, Callable, Iterable
from typing import Any

def search(patterns: Iterable[str | re.Pattern[str]], text: str) -> tuple[int, int, int] | None:
    """The first pattern, in order, that matches somewhere in text, and where:
    (index, start, end) as re.search(pattern, text).span() gives it, or None."""

def covers(pattern: str) -> bool:
    """Whether the native engine decides pattern itself (else re searches it)."""

def make_explainer(record_type: type[Any], /) -> Callable[..., Any]:
    """make_explainer(record_type): explain_complexity, answering with record_type instances."""

def make_batch_explainer() -> Callable[..., Any]:
    """make_batch_explainer(): explain_batch, with caches of its own."""

def task_lines(lines: list[int], ids: list[Any] | None, descriptions: list[str] | None,
               routes: list[tuple[str, float, float]], spans: list[tuple[int, int] | None],
               tokens: tuple[list[int] | list[int | None] | None, list[int] | list[int | None] | None, int | None,
                             int | None, bool | list[bool]],
               encode: Callable[[Any], str], /) -> bytes:
    """task_lines(lines, ids, descriptions, routes, spans, tokens, encode, /): an evaluation's per-task JSON lines, as UTF-8."""

def count_lines(data: Buffer, /) -> int:
    """count_lines(data, /): the number of line breaks (b"\\n") in a bytes-like object."""

def unspaced(descriptions: list[str], /) -> list[int]:
    """unspaced(descriptions, /): the indices of the descriptions written mostly in a script without spaces."""

def token_estimates(descriptions: list[str], /) -> list[int]:
    """token_estimates(descriptions, /): each description's UTF-8 bytes / 4, rounded up."""

def group_sums(keys: list[Any], columns: tuple[list[int] | list[bool], ...], /) -> list[tuple[Any, int, list[int]]] | None:
    """group_sums(keys, columns, /): (key, count, column sums) for each key, told apart by identity."""

class Scorer:
    """Scorer(ngrams, weights, idf, longest, intercept, words, characters): a fitted router's scorer (halvec.fitted)."""

    def __new__(cls, ngrams: list[str], weights: list[float], idf: list[float], longest: int, intercept: float,
                words: tuple[float, float, float], characters: tuple[float, float, float]) -> Scorer: ...
    def score(self, text: str, /) -> float:
        """score(text, /): the router's score of one text."""
    def scores(self, texts: list[str] | tuple[str, ...], /) -> list[float]:
        """scores(texts, /): the router's score of each text of a list or tuple."""
    def scores_and_coverage(self, texts: list[str] | tuple[str, ...], /) -> tuple[list[float], list[float | None]]:
        """scores_and_coverage(texts, /): (scores, coverage): each text's score, and the share of its n-gram places that hold one of the router's n-grams (None for a text with no token)."""
    @property
    def ngrams(self) -> int:
        """The number of n-grams the router weighs."""
    @property
    def memory(self) -> int:
        """Bytes the tables hold, counted against the engine's budget."""
