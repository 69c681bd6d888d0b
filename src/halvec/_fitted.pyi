"""The native scorers of fitted routers (halvec.fitted), for the package (private)."""

from typing import Literal, final, overload

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

@final
class ModelScorer:
    """ModelScorer(models, ngrams, weights, idf, longest, intercepts, words, characters, per_prompt, per_input_token): a fitted router of several models (halvec.fitted)."""

    def __new__(cls, models: tuple[str, ...] | list[str], ngrams: list[str], weights: list[list[float]],
                idf: list[float], longest: int, intercepts: list[float],
                words: tuple[list[float], float, float], characters: tuple[list[float], float, float],
                per_prompt: list[float], per_input_token: list[float]) -> ModelScorer: ...
    def qualities(self, text: str, /) -> dict[str, float]:
        """qualities(text, /): every model's predicted result for the text, {model: result} in order."""
    def prices(self, text: str, /) -> dict[str, float]:
        """prices(text, /): every model's price for the text, {model: price}."""
    def choose(self, text: str, usable: int, tradeoff: float, /) -> str:
        """choose(text, usable, tradeoff, /): the usable model (bit m of usable for models[m]) with the highest predicted result less tradeoff times its price; ties to the lower price, then the earlier model."""
    @overload
    def qualities_of(self, texts: list[str] | tuple[str, ...], flat: Literal[False] = False) -> list[list[float]]: ...
    @overload
    def qualities_of(self, texts: list[str] | tuple[str, ...], flat: Literal[True]) -> memoryview: ...
    @overload
    def prices_of(self, texts: list[str] | tuple[str, ...], flat: Literal[False] = False) -> list[list[float]]: ...
    @overload
    def prices_of(self, texts: list[str] | tuple[str, ...], flat: Literal[True]) -> memoryview: ...
    def choices(self, texts: list[str] | tuple[str, ...], usable: int, tradeoff: float, /) -> list[str]:
        """choices(texts, usable, tradeoff, /): the model chosen for each text, as choose() chooses."""
    def coverage(self, texts: list[str] | tuple[str, ...], /) -> list[float | None]:
        """coverage(texts, /): the share of each text's n-gram places that hold one of the router's n-grams (None for a text with no token)."""
    def choices_and_coverage(self, texts: list[str] | tuple[str, ...], usable: int, tradeoff: float,
                             /) -> tuple[list[str], list[float | None]]:
        """choices_and_coverage(texts, usable, tradeoff, /): (the model chosen for each text, as choices() chooses, each text's coverage, as coverage() gives it), read in one pass."""
    @property
    def models(self) -> tuple[str, ...]:
        """The models, in order."""
    @property
    def ngrams(self) -> int:
        """The number of n-grams the router weighs."""
    @property
    def memory(self) -> int:
        """Bytes the tables hold, counted against the memory budget of fitted routers."""
