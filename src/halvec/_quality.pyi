"""The bootstrap kernel of the many-model routing measures (halvec.quality.models), for the package (private)."""

from typing import final

_Point = tuple[float, float]
_Hull = tuple[float, tuple[float | None, ...]]

@final
class Resampler:
    """Resampler(prompts, models, results, costs, frontiers, choices, targets): the figures of bootstrap resamples of a many-model measure (halvec.quality.models)."""

    def __new__(cls, prompts: int, models: int, results: list[float], costs: list[float],
                frontiers: list[tuple[list[float], list[float], list[int], list[float], list[float], list[int]]],
                choices: list[list[int]], targets: list[float]) -> Resampler: ...
    def figures(self, counts: list[int], /) -> tuple[list[_Point], list[_Hull], list[_Point],
                                                     list[tuple[_Point, tuple[int, ...]]]]:
        """figures(counts, /): (models, hulls, starts, choices) of the resample that holds prompt i counts[i] times."""
    @property
    def memory(self) -> int:
        """Bytes the plan, its scratch and its figures hold."""
