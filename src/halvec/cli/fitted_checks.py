"""What ``bench`` and ``eval`` say of a fitted router beside its figures, from what its file
records of the data it was fitted on (:mod:`halvec.fitted.provenance`):

- **fitted on these prompts**: the share of the inputs that were among its fitting prompts
  (measured there, a router looks far better than it is), with its cross-validated APGR;
- **coverage**: how much of the inputs' n-grams it knows, against its fitting data's
  (:mod:`halvec.fitted.coverage`); far below, the router is being used on prompts unlike
  those it was fitted on;
- **the operating point**: the share of strong calls (the complex tier) it makes on the
  inputs, against the share its cut points were placed for.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TypedDict

from halvec.fitted.coverage import UNLIKE_BELOW, CoverageSummary, summarize, unlike
from halvec.fitted.provenance import Provenance

__all__ = ["Checks", "CoverageJSON", "FittedRouterJSON", "coverage_json", "eval_checks", "eval_json", "pooled",
           "unlike_warning"]


class CoverageJSON(TypedDict):
    prompts: int
    """Those with a token: the figures are theirs."""
    without_tokens: int
    mean: float
    q1: float
    median: float
    q3: float


class FittedRouterJSON(TypedDict):
    """``eval --router FILE --json``'s ``fitted_router``: the router's figures on the tasks."""

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
        return cls(router, provenance, len(texts), provenance.fitted_share(texts), summarize(coverage), strong_share)

    @property
    def unlike(self) -> bool:
        """Whether the inputs' coverage lies far below the fitting data's."""
        fitted = self.provenance.coverage
        return self.coverage is not None and fitted is not None and unlike(self.coverage.mean, fitted.mean)

    def fitted_on_warning(self, where: str) -> str | None:
        """The warning for inputs (``where``) the router was fitted on, if it was."""
        if not self.fitted_share:
            return None
        cv = self.provenance.cv_apgr
        figure = (f"its cross-validated APGR on the data it was fitted on is {cv:.3f} (from its file)"
                  if cv is not None else "judge it by halvec fit's cross-validated APGR")
        return (f"the router {self.router!r} was fitted on {_percent(self.fitted_share)} of the prompts of "
                f"{where}: measured on them it looks better than it is; {figure}")

    def mark(self) -> str:
        """What the report's row adds to the router's name."""
        if not self.fitted_share:
            return ""
        if self.fitted_share == 1.0:
            return " (fitted on these prompts)"
        return f" (fitted on {_percent(self.fitted_share)} of these prompts)"

    def note(self) -> str:
        """One line: the complex tier's share (the strong calls) against the share placed, the
        coverage against the fitting data's."""
        parts = []
        placed = self.provenance.complex_share
        if self.strong_share is not None:
            parts.append(f"complex tier {_percent(self.strong_share)} here"
                         + (f", its cut points placed for {_percent(placed)}" if placed is not None else ""))
        fitted = self.provenance.coverage
        if self.coverage is not None:
            parts.append(f"n-gram coverage {self.coverage.mean:.2f} here (quartiles {self.coverage.q1:.2f}, "
                         f"{self.coverage.median:.2f}, {self.coverage.q3:.2f})"
                         + (f", {fitted.mean:.2f} on its fitting data" if fitted is not None else "")
                         + (": unlike its fitting data" if self.unlike else ""))
        return f"{self.router!r}: {'; '.join(parts)}" if parts else ""


def pooled(checks: Sequence[Checks], coverage: Sequence[float | None], strong_share: float | None) -> Checks:
    """The checks of the sets pooled, given every prompt's coverage in order."""
    first = checks[0]
    prompts = sum(c.prompts for c in checks)
    shares = [c.fitted_share for c in checks]
    fitted_share = (None if any(share is None for share in shares)
                    else sum((share or 0.0) * c.prompts for share, c in zip(shares, checks)) / prompts)
    return Checks(first.router, first.provenance, prompts, fitted_share, summarize(coverage), strong_share)


def unlike_warning(router: str, where: str, coverage: CoverageSummary, fitted: CoverageSummary) -> str:
    """The warning for a workload whose coverage lies far below the fitting data's."""
    return (f"the router {router!r} is being used on prompts unlike those it was fitted on: its n-grams cover "
            f"{coverage.mean:.2f} of the n-gram places of {where} on average, against {fitted.mean:.2f} on its "
            f"fitting data (below {UNLIKE_BELOW:.0%} of it), so its scores there rest on little")


def _percent(share: float) -> str:
    return f"{100 * share:.1f}%"


def coverage_json(summary: CoverageSummary | None) -> CoverageJSON | None:
    if summary is None:
        return None
    return {"prompts": summary.prompts, "without_tokens": summary.without_tokens, "mean": summary.mean,
            "q1": summary.q1, "median": summary.median, "q3": summary.q3}


def eval_checks(name: str, provenance: Provenance, coverage: CoverageSummary | None,
                tiers: Mapping[str, int]) -> Checks:
    """A fitted router's checks on a workload ``eval`` tiered with it (tasks per tier)."""
    tasks = sum(tiers.values())
    return Checks(name, provenance, tasks, None, coverage, tiers["complex"] / tasks if tasks else None)


def eval_json(checks: Checks, path: str) -> FittedRouterJSON:
    return {"file": path, "name": checks.router, "coverage": coverage_json(checks.coverage),
            "fitted_coverage": coverage_json(checks.provenance.coverage), "unlike": checks.unlike,
            "complex_share": checks.strong_share, "placed_complex_share": checks.provenance.complex_share}
