"""Outcome files with routers' scores on them, one set a file, and the files pooled into one.

A :class:`ScoredSet` is a file's prompts, results and each router's scores, or several files'
end to end: :func:`pool` joins them, and :attr:`ScoredSet.pooled` tells a pooled set from a
file's. ``bench`` measures every file and the files pooled; ``fit`` reports its
cross-validated figures the same way.

Pooling files says nothing of whether they belong together. Two things that make the pooled
figures mislead are told as data: results on different scales (:class:`DifferentScales`) and
prompts that repeat one of an earlier file (:class:`RepeatedAcrossFiles`).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from functools import cached_property

from halvec.fitted.checks import Checks
from halvec.quality.outcomes import Outcomes
from halvec.quality.report import Costs, Scored, strong_share

__all__ = ["DifferentScales", "RepeatedAcrossFiles", "ScoredSet", "different_scales", "pool", "repeated_across",
           "with_pooled"]


@dataclass(frozen=True)
class ScoredSet:
    """Outcomes and each router's scores on them: one file's, or several files' pooled (in
    the order of ``files``)."""

    name: str
    """The file as it was named, or ``pooled (N files)``."""
    files: tuple[Outcomes, ...]
    scored: list[Scored]
    """Each router's scores, in the order the routers were given."""

    @classmethod
    def of_file(cls, outcomes: Outcomes, scored: list[Scored]) -> ScoredSet:
        return cls(outcomes.source, (outcomes,), scored)

    @property
    def pooled(self) -> bool:
        return len(self.files) > 1

    @cached_property
    def texts(self) -> list[str]:
        return self.files[0].texts if not self.pooled else [text for f in self.files for text in f.texts]

    @cached_property
    def strong(self) -> list[float]:
        return self.files[0].strong if not self.pooled else [r for f in self.files for r in f.strong]

    @cached_property
    def weak(self) -> list[float]:
        return self.files[0].weak if not self.pooled else [r for f in self.files for r in f.weak]

    def costs(self, prices: tuple[float, float] | None) -> Costs:
        """How the set's prompts are costed: at ``prices`` per call (strong, weak) where given,
        else at the files' per-prompt costs where every file gives them, else by the share of
        strong calls."""
        if prices is not None:
            return Costs("prices", prices[0], prices[1])
        strong: list[float] = []
        weak: list[float] = []
        for outcomes in self.files:
            if outcomes.strong_costs is None or outcomes.weak_costs is None:
                return Costs("strong_share")
            strong += outcomes.strong_costs
            weak += outcomes.weak_costs
        return Costs("data", strong, weak)


def pool(sets: Sequence[ScoredSet]) -> ScoredSet:
    """The sets end to end, each router's scores, choices, coverage and checks with them (the
    sets hold the same routers, in the same order)."""
    scored = []
    for i, first in enumerate(sets[0].scored):
        items = [s.scored[i] for s in sets]
        mask = None if first.mask is None else [m for item in items for m in item.mask or ()]
        coverage = None if first.coverage is None else [v for item in items for v in item.coverage or ()]
        checks = None if first.checks is None else Checks.pooled(
            [c for item in items if (c := item.checks) is not None], coverage or [], strong_share(mask))
        scored.append(Scored(first.name, [score for item in items for score in item.scores], mask, coverage, checks))
    files = tuple(f for s in sets for f in s.files)
    return ScoredSet(f"pooled ({len(files)} files)", files, scored)


def with_pooled(sets: Sequence[ScoredSet]) -> list[ScoredSet]:
    """``sets``, and after them, where there are several, the sets pooled."""
    return [*sets, pool(sets)] if len(sets) > 1 else list(sets)


@dataclass(frozen=True)
class DifferentScales:
    """Files whose results are on different scales (right/wrong beside marks out of 10): the
    larger scale decides the pooled figures."""

    largest: list[tuple[str, float]]
    """Each file (as named) and its largest result's size."""


def different_scales(files: Sequence[Outcomes]) -> DifferentScales | None:
    """Said of several files when one's largest result is more than twice another's."""
    if len(files) < 2:
        return None
    largest = [max(map(abs, [*f.strong, *f.weak])) for f in files]
    if min(largest) > 0 and max(largest) > 2 * min(largest):
        return DifferentScales([(f.source, top) for f, top in zip(files, largest)])
    return None


@dataclass(frozen=True)
class RepeatedAcrossFiles:
    """Prompts of pooled files that repeat a prompt of an earlier file (the same text: a file
    given twice, or files that share prompts): the pooled figures count each copy as a prompt
    of its own, so their intervals are narrower than the data warrants."""

    prompts: int


def repeated_across(files: Sequence[Outcomes]) -> RepeatedAcrossFiles | None:
    """Said of several files when a prompt of one repeats a prompt of an earlier one."""
    if len(files) < 2:
        return None
    seen: set[str] = set()
    repeated = 0
    for outcomes in files:
        repeated += sum(text in seen for text in outcomes.texts)
        seen.update(outcomes.texts)
    return RepeatedAcrossFiles(repeated) if repeated else None
