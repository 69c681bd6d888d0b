"""What a fitted router's file records of the data it was fitted on
(:mod:`halvec.fitted.provenance`), checked against the prompts it is used on:

- **fitted on these prompts**: the share of the inputs that were among its fitting prompts
  (measured there, a router looks far better than it is), with its cross-validated APGR;
- **coverage**: how much of the inputs' n-grams it knows, against its fitting data's
  (:mod:`halvec.fitted.coverage`); far below, the router is being used on prompts unlike
  those it was fitted on;
- **the operating point**: the share of strong calls (the complex tier) it makes on the
  inputs, against the share its cut points were placed for.

:class:`Checks` holds the figures; :meth:`Checks.warnings` gives what they warn of as data
(:class:`FittedOn`, :class:`Unlike`), for a caller to say in its own words.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TypedDict

from halvec.fitted.coverage import CoverageJSON, CoverageSummary, summarize, unlike
from halvec.fitted.provenance import Provenance

__all__ = ["Checks", "FittedOn", "FittedRouterJSON", "Unlike"]


class FittedRouterJSON(TypedDict):
    """A fitted router's figures on a workload (``eval --router FILE --json``'s ``fitted_router``)."""

    file: str
    name: str
    coverage: CoverageJSON | None
    """The tasks' coverage; null when no task has a token."""
    fitted_coverage: CoverageJSON | None
    """Its fitting data's, from its file; null when the file does not say."""
    unlike: bool
    """Whether the tasks' mean coverage is below UNLIKE_BELOW of the fitting data's."""
    complex_share: float | None
    """The complex tier's share of the tasks (null for none)."""
    placed_complex_share: float | None
    """The complex share its cut points were placed for; null when the file does not say."""


@dataclass(frozen=True)
class FittedOn:
    """A router measured on prompts it was fitted on: ``share`` of those of ``source``."""

    router: str
    source: str
    share: float
    cv_apgr: float | None
    """Its cross-validated APGR on the data it was fitted on, from its file."""


@dataclass(frozen=True)
class Unlike:
    """A router used on prompts unlike those it was fitted on: the mean coverage of ``source``
    lies below :data:`~halvec.fitted.coverage.UNLIKE_BELOW` of its fitting data's."""

    router: str
    source: str
    coverage: CoverageSummary
    fitted: CoverageSummary


@dataclass(frozen=True)
class Checks:
    """A fitted router's checks on one set of inputs."""

    router: str
    """The router's name, as the report shows it."""
    provenance: Provenance
    prompts: int
    fitted_share: float | None
    """The share of the inputs among its fitting prompts; None when its file keeps no digest."""
    coverage: CoverageSummary | None
    """The inputs' coverage; None when no input has a token."""
    strong_share: float | None
    """The share of the inputs its operating point sends to the strong model (complex)."""

    @classmethod
    def of(cls, router: str, provenance: Provenance, texts: Sequence[str], coverage: Sequence[float | None],
           strong_share: float | None) -> Checks:
        """The checks on ``texts``, given each one's coverage."""
        return cls(router, provenance, len(texts), provenance.fitted_share(texts), summarize(coverage), strong_share)

    @classmethod
    def on_workload(cls, router: str, provenance: Provenance, coverage: CoverageSummary | None,
                    tiers: Mapping[str, int]) -> Checks:
        """The checks on a workload the router tiered (its tasks per tier), whose prompts are
        not kept: nothing is said of its fitting prompts among them."""
        tasks = sum(tiers.values())
        return cls(router, provenance, tasks, None, coverage, tiers["complex"] / tasks if tasks else None)

    @classmethod
    def pooled(cls, checks: Sequence[Checks], coverage: Sequence[float | None], strong_share: float | None) -> Checks:
        """The checks of sets pooled, given every prompt's coverage in order."""
        first = checks[0]
        prompts = sum(c.prompts for c in checks)
        shares = [c.fitted_share for c in checks]
        fitted_share = (None if any(share is None for share in shares)
                        else sum((share or 0.0) * c.prompts for share, c in zip(shares, checks)) / prompts)
        return cls(first.router, first.provenance, prompts, fitted_share, summarize(coverage), strong_share)

    @property
    def unlike(self) -> bool:
        """Whether the inputs' coverage lies far below the fitting data's."""
        fitted = self.provenance.coverage
        return self.coverage is not None and fitted is not None and unlike(self.coverage.mean, fitted.mean)

    def warnings(self, source: str) -> list[FittedOn | Unlike]:
        """What the checks on the inputs of ``source`` (a file, as named) warn of."""
        said: list[FittedOn | Unlike] = []
        if self.fitted_share:
            said.append(FittedOn(self.router, source, self.fitted_share, self.provenance.cv_apgr))
        fitted = self.provenance.coverage
        if self.unlike and self.coverage is not None and fitted is not None:
            said.append(Unlike(self.router, source, self.coverage, fitted))
        return said

    def as_json(self, file: str) -> FittedRouterJSON:
        """The figures on a workload, for the router read from ``file``."""
        fitted = self.provenance.coverage
        return {"file": file, "name": self.router,
                "coverage": self.coverage.as_json() if self.coverage is not None else None,
                "fitted_coverage": fitted.as_json() if fitted is not None else None, "unlike": self.unlike,
                "complex_share": self.strong_share, "placed_complex_share": self.provenance.complex_share}
