"""How much of a prompt a fitted router knows: its **coverage**.

A text's n-gram places are every run of 1 to the router's ``longest_ngram`` consecutive tokens
(:mod:`halvec.fitted.features`): a text of ``t`` tokens has ``t`` unigram places, ``t - 1``
bigram places and ``t - 2`` trigram places (none below 0). Its coverage is the share of those
places that hold one of the router's n-grams; a text with no token has none (None). The
native scorer counts it in the pass that scores the text
(:meth:`halvec.fitted.FittedRouter.score_and_coverage`).

A router knows the prompts it was fitted on well, and prompts unlike them hardly: its n-grams
are the frequent ones of its fitting data. :class:`CoverageTally` sums the coverage of a
stream of prompts in bounded memory (a count per thousandth), and :func:`unlike` says when a
workload's mean coverage lies so far below the fitting data's that the router is being used
on prompts unlike those it was fitted on.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TypedDict

__all__ = ["UNLIKE_BELOW", "CoverageJSON", "CoverageSummary", "CoverageTally", "summarize", "unlike"]

UNLIKE_BELOW = 0.8
"""A workload's mean coverage below this share of the fitting data's is "unlike" it. Measured
(docs/fitted_routers.md): held-out prompts like the fitting data's keep 0.85 or more of its
mean (0.99 for MMLU's router, 0.86 for routers fitted on 500 prompts); GSM8K's router on MMLU
keeps 0.50 of it, MMLU's router on an agent workload 0.75."""

_BINS = 1000
"""The tally's resolution: coverage is counted per thousandth, so quartiles are exact to 0.0005."""


class CoverageJSON(TypedDict):
    """A :class:`CoverageSummary` in JSON: in a router file's ``fitted_on`` and in reports."""

    prompts: int
    """Those with a token: the figures are theirs."""
    without_tokens: int
    mean: float
    q1: float
    median: float
    q3: float


@dataclass(frozen=True, slots=True)
class CoverageSummary:
    """The coverage of a set of prompts: its mean and quartiles over the prompts that have a
    token, and how many have none."""

    prompts: int
    """Prompts with at least one token (those the figures are of)."""
    without_tokens: int
    """Prompts with no token: no coverage."""
    mean: float
    q1: float
    median: float
    q3: float

    def as_json(self) -> CoverageJSON:
        return {"prompts": self.prompts, "without_tokens": self.without_tokens, "mean": self.mean, "q1": self.q1,
                "median": self.median, "q3": self.q3}


class CoverageTally:
    """The coverage of a stream of prompts, summed in bounded memory: the mean exactly, the
    quartiles to the nearest thousandth."""

    def __init__(self) -> None:
        self._bins = [0] * (_BINS + 1)
        self._sum = 0.0
        self._count = 0
        self._without = 0

    def add(self, coverage: Iterable[float | None]) -> None:
        """Counts each prompt's coverage (None: a prompt with no token)."""
        bins = self._bins
        for value in coverage:
            if value is None:
                self._without += 1
                continue
            bins[round(value * _BINS)] += 1
            self._sum += value
            self._count += 1

    def summary(self) -> CoverageSummary | None:
        """The summary; None when no prompt had a token."""
        if not self._count:
            return None
        return CoverageSummary(self._count, self._without, self._sum / self._count, self._quantile(0.25),
                               self._quantile(0.5), self._quantile(0.75))

    def _quantile(self, q: float) -> float:
        """Between the order statistics on either side of ``q * (count - 1)``, as
        ``statistics.quantiles(method="inclusive")`` places it."""
        at = q * (self._count - 1)
        low = math.floor(at)
        return self._ranked(low) + (self._ranked(min(low + 1, self._count - 1)) - self._ranked(low)) * (at - low)

    def _ranked(self, rank: int) -> float:
        """The value of the given place (from 0) in the sorted values, to the thousandth."""
        seen = 0
        for index, count in enumerate(self._bins):
            seen += count
            if seen > rank:
                return index / _BINS
        raise AssertionError("the bins hold every prompt counted")


def summarize(coverage: Iterable[float | None]) -> CoverageSummary | None:
    """The summary of the coverage of some prompts; None when none had a token."""
    tally = CoverageTally()
    tally.add(coverage)
    return tally.summary()


def unlike(mean: float, fitted_mean: float) -> bool:
    """Whether prompts of mean coverage ``mean`` are unlike a router's fitting data, whose
    mean coverage was ``fitted_mean``: below :data:`UNLIKE_BELOW` of it."""
    return mean < UNLIKE_BELOW * fitted_mean
