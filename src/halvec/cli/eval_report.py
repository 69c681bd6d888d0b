"""What ``halvec eval`` says once the run is done: its warnings on standard error, then the
report, as text (:mod:`halvec.cli.eval_text`) or one JSON document with ``--json``, whose keys
are stable (docs/cli.md lists them): each result's own JSON form, with what the run was given
(the keys, the prices, a fitted router's checks)."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from typing import Any, Literal, NotRequired, TypedDict

from halvec.cli import output
from halvec.cli.eval_text import write_comparison, write_report
from halvec.cli.fitted_notes import warn
from halvec.cli.options import providers
from halvec.fitted.checks import Checks, FittedRouterJSON
from halvec.evaluation import Comparison, InputJSON, Prices, PricesJSON, ProviderKeys, Report, Settings, SummaryJSON

__all__ = ["ComparisonJSON", "EvalJSON", "KeySource", "KeysJSON", "RunFacts", "write_results"]

KeySource = Literal["assumed", "given", "environment", "given_and_environment"]
"""Where the run's API keys come from: none given (every provider assumed to have one),
``--keys``, ``--keys-from-env``, or both."""


class KeysJSON(TypedDict):
    source: KeySource
    providers: list[str]
    """The providers with a key, in catalogue order."""


class EvalJSON(SummaryJSON):
    """``halvec eval --json``."""

    tasks: int
    input: InputJSON
    selection_for: str
    keys: KeysJSON
    prices: PricesJSON
    fitted_router: FittedRouterJSON | None
    """With ``--router``: the router's coverage and complex share on the tasks."""


class ComparisonJSON(TypedDict):
    """``halvec eval --patterns FILE --compare --json``."""

    tasks: int
    input: InputJSON
    selection_for: str
    keys: KeysJSON
    prices: PricesJSON
    patterns: str | None
    """The other lists' file, or null when comparing with a fitted router."""
    router: NotRequired[str]
    """The fitted router's file, with ``--router FILE --compare`` only."""
    fitted_router: NotRequired[FittedRouterJSON]
    """With ``--router FILE --compare`` only, as :class:`EvalJSON` has it."""
    before: SummaryJSON
    after: SummaryJSON
    transitions: dict[str, dict[str, int]]
    changed: int
    changes: list[dict[str, Any]]
    """As :meth:`halvec.evaluation.Change.json` gives them, descriptions included."""


@dataclass(frozen=True)
class RunFacts:
    """What the report says of the run besides its results."""

    settings: Settings
    keys: ProviderKeys
    key_source: KeySource
    fitted: Checks | None = None
    """With ``--router``: the fitted router's checks on the tasks."""
    router: str | None = None

    @property
    def prices(self) -> Prices:
        return self.settings.costed_with


def write_results(args: argparse.Namespace, result: Report | Comparison, run: RunFacts) -> None:
    """The warnings on standard error, then the report."""
    parser: argparse.ArgumentParser = args.parser
    reading = result.reading
    if reading.replaced_lines:
        lines = reading.replaced_lines
        source = "standard input" if reading.source == "-" else repr(reading.source)
        output.message(f"{parser.prog}: warning: {output.escape(source, backslash=False)}: "
                       f"replaced what is not valid UTF-8 with U+FFFD on {lines:,} line{'s' if lines != 1 else ''} "
                       f"(the first on line {reading.first_replaced_line})\n")
    if reading.bad_lines:
        bad = reading.bad_lines
        output.message(f"{parser.prog}: warning: skipped {bad:,} bad line{'s' if bad != 1 else ''}"
                       f" (the first: line {reading.first_bad_lines[0].line}: "
                       f"{output.escape(reading.first_bad_lines[0].problem, backslash=False)})\n")
    if run.fitted is not None:
        for warning in run.fitted.warnings(reading.source):
            warn(parser.prog, warning)
    if isinstance(result, Comparison):
        after = args.patterns if args.router is None else args.router
        assert after is not None
        if args.json:
            output.json_document(_comparison_json(result, run, after, router=args.router is not None))
        else:
            write_comparison(result, run, after, args.out, router=args.router is not None)
    elif args.json:
        output.json_document(_report_json(result, run))
    else:
        write_report(result, run)


def _keys_json(run: RunFacts) -> KeysJSON:
    return {"source": run.key_source, "providers": [p for p in providers() if run.keys.has_key(p)]}


def _fitted_json(run: RunFacts) -> FittedRouterJSON | None:
    return run.fitted.as_json(run.router) if run.fitted is not None and run.router is not None else None


def _report_json(report: Report, run: RunFacts) -> EvalJSON:
    summary = report.summary.json(fitted=run.fitted is not None)
    return {"tasks": report.summary.tasks, "input": report.reading.json(),
            "selection_for": "scheduler" if run.settings.scheduler else "worker",
            "keys": _keys_json(run), "prices": run.prices.json(), **summary, "fitted_router": _fitted_json(run)}


def _comparison_json(comparison: Comparison, run: RunFacts, after: str, *, router: bool = False) -> ComparisonJSON:
    document: ComparisonJSON = {
        "tasks": comparison.before.tasks, "input": comparison.reading.json(),
        "selection_for": "scheduler" if run.settings.scheduler else "worker",
        "keys": _keys_json(run), "prices": run.prices.json(), "patterns": None if router else after,
        "before": comparison.before.json(), "after": comparison.after.json(fitted=router),
        "transitions": {tier: dict(row) for tier, row in comparison.transitions.items()},
        "changed": comparison.changed, "changes": [change.json() for change in comparison.changes]}
    if router:
        document["router"] = after
        fitted = _fitted_json(run)
        if fitted is not None:
            document["fitted_router"] = fitted
    return document
