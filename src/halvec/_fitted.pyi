"""The native scorer of fitted routers (halvec.fitted), for the package (private)."""

from typing import final

@final
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
        """Bytes the tables hold, counted against the memory budget of fitted routers."""
