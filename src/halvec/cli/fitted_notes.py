"""What ``bench`` and ``eval`` say of a fitted router beside its figures: its checks
(:mod:`halvec.fitted.checks`) as a mark on its row, a note under the report and warnings."""

from __future__ import annotations

from halvec.cli import output
from halvec.fitted.checks import Checks, FittedOn, Unlike
from halvec.fitted.coverage import UNLIKE_BELOW

__all__ = ["mark", "note", "warn"]


def mark(checks: Checks) -> str:
    """What the report's row adds to the router's name."""
    if not checks.fitted_share:
        return ""
    if checks.fitted_share == 1.0:
        return " (fitted on these prompts)"
    return f" (fitted on {_percent(checks.fitted_share)} of these prompts)"


def note(checks: Checks) -> str:
    """One line: the complex tier's share (the strong calls) against the share placed, the
    coverage against the fitting data's."""
    parts = []
    placed = checks.provenance.complex_share
    if checks.strong_share is not None:
        parts.append(f"complex tier {_percent(checks.strong_share)} here"
                     + (f", its cut points placed for {_percent(placed)}" if placed is not None else ""))
    fitted = checks.provenance.coverage
    if checks.coverage is not None:
        coverage = checks.coverage
        parts.append(f"n-gram coverage {coverage.mean:.2f} here (quartiles {coverage.q1:.2f}, "
                     f"{coverage.median:.2f}, {coverage.q3:.2f})"
                     + (f", {fitted.mean:.2f} on its fitting data" if fitted is not None else "")
                     + (": unlike its fitting data" if checks.unlike else ""))
    return f"{checks.router!r}: {'; '.join(parts)}" if parts else ""


def warn(prog: str, warning: FittedOn | Unlike) -> None:
    """Says ``warning`` on standard error."""
    where = "standard input" if warning.source == "-" else repr(warning.source)
    if isinstance(warning, FittedOn):
        figure = (f"its cross-validated APGR on the data it was fitted on is {warning.cv_apgr:.3f} (from its file)"
                  if warning.cv_apgr is not None else "judge it by halvec fit's cross-validated APGR")
        said = (f"the router {warning.router!r} was fitted on {_percent(warning.share)} of the prompts of "
                f"{where}: measured on them it looks better than it is; {figure}")
    else:
        said = (f"the router {warning.router!r} is being used on prompts unlike those it was fitted on: its n-grams "
                f"cover {warning.coverage.mean:.2f} of the n-gram places of {where} on average, against "
                f"{warning.fitted.mean:.2f} on its fitting data (below {UNLIKE_BELOW:.0%} of it), so its scores "
                f"there rest on little")
    output.message(f"{prog}: warning: {output.escape(said, backslash=False)}\n")


def _percent(share: float) -> str:
    return f"{100 * share:.1f}%"
