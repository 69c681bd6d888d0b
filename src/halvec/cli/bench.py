"""``halvec bench``: how good routers' choices between a strong and a weak model are, measured on
outcome files (prompts with both models' results).

For each file, and for the files pooled, a table: for every router and baseline (random, the
oracle, each model alone) APGR with its bootstrap interval, CPT(50%) and CPT(80%), and where
the router has an operating point its share of strong calls, PGR and cost.
:mod:`halvec.quality` does the measuring; this module reads the options, writes the report
(text, or one JSON document with ``--json``, whose keys docs/quality.md lists) and the
optional per-prompt lines (``--out``) and figure (``--plot``).
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
from collections.abc import Callable, Sequence
from contextlib import ExitStack
from dataclasses import dataclass
from functools import partial
from typing import IO, Any, TypedDict

from halvec.cli import output
from halvec.cli.fitted_checks import Checks, pooled, unlike_warning
from halvec.cli.fitted_router import read_router
from halvec.cli.options import Command, InputError, Once, SetupError, UsageError, near_miss
from halvec.cli.outcome_files import read_outcome_file
from halvec.cli.output_files import check_output, check_report_destination, file_inputs, output_file, write_error
from halvec.cli.progress import Progress
from halvec.cli.status import ExitStatus, describe_exit_statuses
from halvec.fitted.provenance import Provenance
from halvec.quality import plot
from halvec.quality.outcomes import OutcomeFormat, Outcomes
from halvec.quality.report import CPT_SHARES, Costs, Row, Scored, SetReport, measure
from halvec.quality.routers import BUILT_IN, Router, strong_mask

__all__ = ["COMMAND", "BenchJSON", "RowJSON", "SetJSON"]

DEFAULT_ROUTERS = ("rules", "words")


# --- JSON: the documented, stable keys -------------------------------------------------------

class FileJSON(TypedDict):
    source: str
    format: str
    prompts: int
    costs: bool


class RowJSON(TypedDict):
    name: str
    kind: str
    model: str | None
    apgr: float | None
    apgr_low: float | None
    apgr_high: float | None
    cpt50: float | None
    cpt80: float | None
    cost_at_cpt50: float | None
    cost_at_cpt80: float | None
    strong_share: float | None
    quality: float | None
    pgr: float | None
    cost: float | None
    placed_strong_share: float | None
    fitted_on_share: float | None
    coverage: float | None
    fitted_coverage: float | None


class SetJSON(TypedDict):
    name: str
    prompts: int
    q_strong: float
    q_weak: float
    cost_basis: str
    rows: list[RowJSON]


class BenchJSON(TypedDict):
    """``halvec bench --json``."""

    strong: str
    weak: str
    field: str
    routers: list[str]
    resamples: int
    seed: int
    level: float
    files: list[FileJSON]
    sets: list[SetJSON]


# --- options ---------------------------------------------------------------------------------

def _price(text: str) -> tuple[str, float]:
    model, equals, price = text.rpartition("=")
    try:
        value = float(price)
    except ValueError:
        value = math.nan
    if not equals or not model or not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"not MODEL=PRICE (a price per call, 0 or more): {text!r}")
    return model, value


def _whole(least: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        if text.isascii() and text.isdigit() and int(text) >= least:
            return int(text)
        raise argparse.ArgumentTypeError(f"not a whole number of {least} or more: {text!r}")
    return parse


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="outcome files: JSONL (a prompt a line, with \"scores\": model to result, and "
                             "optionally \"costs\", \"id\", \"category\") or CSV with a header (the prompt's "
                             "column and a result column per model); gzip is read as it is; - reads standard input")
    parser.add_argument("--strong", required=True, action=Once, metavar="MODEL",
                        help="the strong (expensive) model, as the files name it")
    parser.add_argument("--weak", required=True, action=Once, metavar="MODEL",
                        help="the weak (cheap) model, as the files name it")
    parser.add_argument("--router", action="append", metavar="rules|words|FILE",
                        type=partial(read_router, compared=True),
                        help="a router to measure (repeat for more): rules (the default tiers; complex goes to "
                             "the strong model), words (the word count) or a fitted router file from halvec fit "
                             "(./rules for a file named rules); default: rules and words, and the files given "
                             "after them unless rules or words is named")
    parser.add_argument("--field", metavar="NAME", help="the JSONL field or CSV column of the prompt (default: prompt)")
    parser.add_argument("--format", choices=("jsonl", "csv"),
                        help="the files' format (default: by the name, .jsonl .ndjson .json .csv, then the first "
                             "line)")
    parser.add_argument("--cost", action="append", type=_price, metavar="MODEL=PRICE",
                        help="a price per call for each of the two models (give both); without it, the files' "
                             "per-prompt \"costs\" where every prompt has them, else the share of strong calls")
    parser.add_argument("--resamples", type=_whole(1), default=1000, metavar="N",
                        help="bootstrap resamples for APGR's 95%% interval (default: 1000)")
    parser.add_argument("--seed", type=_whole(0), default=0, metavar="N",
                        help="the resampling's seed: the same seed gives the same intervals (default: 0)")
    parser.add_argument("--out", metavar="FILE",
                        help="write one JSON line per prompt to FILE: its results and each router's score and "
                             "routed model")
    parser.add_argument("--plot", metavar="FILE.svg|FILE.png",
                        help="draw quality against the share of strong calls, with random routing's line and "
                             "both models' levels (needs matplotlib: pip install 'halvec[plot]')")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON document (stable keys, see docs/quality.md) instead of the tables")


# --- routers ---------------------------------------------------------------------------------

def _load_router(spec: str) -> Router:
    built_in = BUILT_IN.get(spec)
    if built_in is not None:
        return built_in()
    if not os.path.exists(spec):
        hint = near_miss(spec, list(BUILT_IN))
        raise UsageError(f"--router {spec!r} is neither rules, words nor a file" +
                         (f"; did you mean {hint!r}?" if hint is not None else ""))
    try:
        fitted = importlib.import_module("halvec.fitted")
    except ImportError:
        raise SetupError("--router FILE needs fitted routers (halvec.fitted), which this installation lacks") from None
    refused: tuple[type[BaseException], ...] = (ValueError, getattr(fitted, "RouterFileError", ValueError))
    try:
        router: Router = fitted.load_router(spec)
    except OSError as error:
        raise UsageError(f"cannot read --router {spec!r}: {error.strerror or error}") from None
    except refused as error:
        raise InputError(f"--router {spec!r}: {error}") from None
    return router


def _routers(specs: Sequence[str]) -> list[tuple[str, Router]]:
    """(the name to show, the router) for each spec; a name that repeats is shown as given."""
    routers = [(spec, _load_router(spec)) for spec in specs]
    names = [router.name for _, router in routers]
    return [(router.name if names.count(router.name) == 1 else spec, router) for spec, router in routers]


# --- costs -----------------------------------------------------------------------------------

def _prices(args: argparse.Namespace) -> tuple[float, float] | None:
    given: list[tuple[str, float]] | None = args.cost
    if not given:
        return None
    pair = (args.strong, args.weak)
    prices: dict[str, float] = {}
    for model, price in given:
        if model not in pair:
            hint = near_miss(model, pair)
            raise UsageError(f"--cost names {model!r}, which is neither --strong {args.strong!r} nor --weak "
                             f"{args.weak!r}" + (f"; did you mean {hint!r}?" if hint is not None else ""))
        prices[model] = price
    missing = [model for model in pair if model not in prices]
    if missing:
        raise UsageError(f"--cost gives no price for {missing[0]!r}: give both models' prices")
    return prices[args.strong], prices[args.weak]


def _costs(sets: Sequence[Outcomes], prices: tuple[float, float] | None) -> Costs:
    if prices is not None:
        return Costs("prices", prices[0], prices[1])
    strong: list[float] = []
    weak: list[float] = []
    for outcomes in sets:
        if outcomes.strong_costs is None or outcomes.weak_costs is None:
            return Costs("strong_share")
        strong += outcomes.strong_costs
        weak += outcomes.weak_costs
    return Costs("data", strong, weak)


# --- the run ---------------------------------------------------------------------------------

@dataclass
class _Set:
    outcomes: Outcomes
    scored: list[Scored]
    coverage: list[list[float | None] | None]
    """For each router: each prompt's coverage, where the router is a fitted one."""
    checks: list[Checks | None]
    """For each router: what is said of a fitted router beside its figures."""


def _run(args: argparse.Namespace) -> int:
    files: list[str] = args.files
    strong_model: str = args.strong
    weak_model: str = args.weak
    out_path: str | None = args.out
    plot_path: str | None = args.plot
    if strong_model == weak_model:
        raise UsageError("--strong and --weak name the same model")
    if files.count("-") > 1:
        raise UsageError("standard input (-) can be read once")
    if out_path == "-":
        raise UsageError("--out needs a file: the report goes to standard output")
    plot_format = ""
    pyplot: Any = None
    if plot_path is not None:
        plot_format = os.path.splitext(plot_path)[1].lower().lstrip(".")
        if plot_format not in plot.FORMATS:
            raise UsageError(f"--plot {plot_path!r}: the name must end in .svg or .png")
    prices = _prices(args)
    specs = _specs(args.router)
    router_files = [spec for spec in specs if spec not in BUILT_IN]
    inputs = [*file_inputs(files), *router_files]  # a router file is always a file
    outputs = [(option, path) for option, path in (("--out", out_path), ("--plot", plot_path)) if path is not None]
    check_report_destination(inputs)
    for option, path in outputs:  # both checked before either is opened
        check_output(path, option=option, inputs=inputs)
    if out_path is not None and plot_path is not None and os.path.realpath(out_path) == os.path.realpath(plot_path):
        raise InputError("--out and --plot name the same file: give each output its own file")
    if plot_path is not None:
        try:  # before any work, so a missing extra fails at once
            pyplot = plot.load_matplotlib()
        except plot.MissingMatplotlib as error:
            raise SetupError(f"--plot: {error}") from None
    routers = _routers(specs)
    fmt: OutcomeFormat | None = args.format
    text_field: str = args.field or "prompt"

    with ExitStack() as stack:
        out = stack.enter_context(output_file(out_path, inputs=inputs)) if out_path is not None else None
        figure = stack.enter_context(output_file(plot_path, option="--plot", inputs=inputs)) \
            if plot_path is not None else None
        sets = [_read(path, strong_model, weak_model, text_field, fmt, routers) for path in files]
        _warn_of_scales(args.parser.prog, sets)
        _warn_of_repeats(args.parser.prog, sets)
        _warn_of_fitted_data(args.parser.prog, sets)
        if out is not None and out_path is not None:
            try:
                _write_lines(out, sets, strong_model, weak_model)
            except OSError as error:
                raise write_error("--out", out_path, error) from None
        reports = _measure(sets, prices, args.resamples, args.seed)
        checks = _checks(sets)
        if figure is not None and plot_path is not None:
            try:
                plot.draw(pyplot, reports, figure, plot_format, strong=strong_model, weak=weak_model)
            except OSError as error:
                raise write_error("--plot", plot_path, error) from None
        if args.json:
            output.json_document(_json(args, sets, reports, checks, [name for name, _ in routers], text_field))
        else:
            _write_report(reports, checks, strong_model, weak_model)
    return ExitStatus.OK


def _specs(given: Sequence[str] | None) -> list[str]:
    """The routers to measure: the default ones, and after them the files given; only those
    given when rules or words is among them."""
    if not given:
        return list(DEFAULT_ROUTERS)
    if any(spec in BUILT_IN for spec in given):
        return list(given)
    return [*DEFAULT_ROUTERS, *given]


def _read(path: str, strong: str, weak: str, text_field: str, fmt: OutcomeFormat | None,
          routers: Sequence[tuple[str, Router]]) -> _Set:
    outcomes = read_outcome_file(path, strong=strong, weak=weak, text_field=text_field, fmt=fmt)
    texts = outcomes.texts
    scored: list[Scored] = []
    coverages: list[list[float | None] | None] = []
    checks: list[Checks | None] = []
    for name, router in routers:
        provenance = getattr(router, "provenance", None)
        coverage: list[float | None] | None = None
        if isinstance(provenance, Provenance):  # a fitted router: its coverage read with its scores
            raw, coverage = router.score_and_coverage(texts)  # type: ignore[attr-defined]
        else:
            raw = router.score(texts)
        scores = [float(score) for score in raw]
        mask = strong_mask(router, scores)
        scored.append(Scored(name, scores, mask))
        coverages.append(coverage)
        checks.append(Checks.of(name, provenance, texts, coverage, None if mask is None else sum(mask) / len(mask))
                      if coverage is not None and isinstance(provenance, Provenance) else None)
    return _Set(outcomes, scored, coverages, checks)


def _checks(sets: Sequence[_Set]) -> list[list[Checks | None]]:
    """For each table (each file, then the files pooled), each router's checks."""
    tables = [s.checks for s in sets]
    if len(sets) > 1:
        row: list[Checks | None] = []
        for i, first in enumerate(sets[0].checks):
            if first is None:
                row.append(None)
                continue
            masks = [m for s in sets for m in s.scored[i].mask or ()]
            row.append(pooled([c for s in sets if (c := s.checks[i]) is not None],
                              [v for s in sets for v in s.coverage[i] or ()],
                              sum(masks) / len(masks) if masks else None))
        tables.append(row)
    return tables


def _where(source: str) -> str:
    return output.escape("standard input" if source == "-" else repr(source), backslash=False)


def _warn_of_repeats(prog: str, sets: Sequence[_Set]) -> None:
    """Pooling a file twice (or files that share prompts) counts each copy as a prompt of
    its own: the pooled intervals come out narrower than the data warrants. Said, with the
    number of copies."""
    if len(sets) < 2:
        return
    seen: set[str] = set()
    repeated = 0
    for s in sets:
        texts = set(s.outcomes.texts)
        repeated += sum(text in seen for text in s.outcomes.texts)
        seen |= texts
    if repeated:
        output.message(f"{prog}: warning: {repeated:,} prompts of the pooled files repeat a prompt of an earlier "
                       f"file (the same text: a file given twice?): the pooled figures count each copy as a prompt "
                       f"of its own, so their intervals are narrower than the data warrants\n")


def _warn_of_fitted_data(prog: str, sets: Sequence[_Set]) -> None:
    """A fitted router measured on the prompts it was fitted on, or on prompts unlike them."""
    for s in sets:
        where = _where(s.outcomes.source)
        for checks in s.checks:
            if checks is None:
                continue
            said = checks.fitted_on_warning(where)
            if said is not None:
                output.message(f"{prog}: warning: {output.escape(said, backslash=False)}\n")
            fitted = checks.provenance.coverage
            if checks.unlike and checks.coverage is not None and fitted is not None:
                said = unlike_warning(checks.router, where, checks.coverage, fitted)
                output.message(f"{prog}: warning: {output.escape(said, backslash=False)}\n")


def _warn_of_scales(prog: str, sets: Sequence[_Set]) -> None:
    """Pooling results on different scales (right/wrong beside marks out of 10) lets the larger
    scale decide the pooled figures: said, not refused."""
    if len(sets) < 2:
        return
    largest = [max(map(abs, [*s.outcomes.strong, *s.outcomes.weak])) for s in sets]
    if min(largest) > 0 and max(largest) > 2 * min(largest):
        shown = ", ".join(f"{output.escape(repr(s.outcomes.source), backslash=False)} up to {top:g}"
                          for s, top in zip(sets, largest))
        output.message(f"{prog}: warning: the files' results are on different scales ({shown}): the pooled "
                       f"figures weigh the larger scale more\n")


def _measure(sets: Sequence[_Set], prices: tuple[float, float] | None, resamples: int, seed: int) -> list[SetReport]:
    names = [s.outcomes.source for s in sets]
    parts: list[tuple[str, list[Scored], list[float], list[float], Costs]] = [
        (name, s.scored, s.outcomes.strong, s.outcomes.weak, _costs([s.outcomes], prices)) for name, s in zip(names, sets)]
    if len(sets) > 1:
        pooled = [Scored(item.name, [score for s in sets for score in s.scored[i].scores],
                         None if item.mask is None else [m for s in sets for m in s.scored[i].mask or ()])
                  for i, item in enumerate(sets[0].scored)]
        parts.append((f"pooled ({len(sets)} files)", pooled, [r for s in sets for r in s.outcomes.strong],
                      [r for s in sets for r in s.outcomes.weak], _costs([s.outcomes for s in sets], prices)))
    progress = Progress(unit="resamples")
    total = len(parts) * (len(sets[0].scored) + 1) * resamples  # the routers and the oracle are resampled
    done: dict[tuple[int, str], int] = {}  # by set and row
    reports = []
    try:
        for index, (name, scored, strong, weak, costs) in enumerate(parts):
            def told(row: str, resampled: int, index: int = index) -> None:
                done[index, row] = resampled
                drawn = sum(done.values())
                progress(_Told(drawn, drawn / total))

            reports.append(measure(name, scored, strong, weak, costs, resamples=resamples, seed=seed, progress=told))
    finally:
        progress.close()
    return reports


@dataclass
class _Told:
    tasks: int
    fraction_read: float | None


# --- per-prompt lines ------------------------------------------------------------------------

def _write_lines(out: IO[bytes], sets: Sequence[_Set], strong: str, weak: str) -> None:
    for s in sets:
        o = s.outcomes
        lines = []
        for i in range(len(o)):
            routers = {item.name: {"score": item.scores[i],
                                   "model": None if item.mask is None else strong if item.mask[i] else weak,
                                   "coverage": None if coverage is None else coverage[i]}
                       for item, coverage in zip(s.scored, s.coverage)}
            record = {"source": o.source, "line": o.lines[i], "id": o.ids[i], "category": o.categories[i],
                      "strong": o.strong[i], "weak": o.weak[i], "routers": routers}
            lines.append(json.dumps(output.without_lone_surrogates(record), ensure_ascii=False))
            if len(lines) == 1024:
                out.write(("\n".join(lines) + "\n").encode("utf-8"))
                lines = []
        if lines:
            out.write(("\n".join(lines) + "\n").encode("utf-8"))


# --- JSON ------------------------------------------------------------------------------------

def _finite(value: float | None) -> float | None:
    """None for NaN (an interval with no resample to rest on): JSON has no NaN."""
    return value if value is None or math.isfinite(value) else None


def _row_json(row: Row, strong: str, weak: str, checks: Checks | None) -> RowJSON:
    cpt = row.cpt or {}
    cost = row.cost_at_cpt or {}
    point = row.point
    model = strong if row.name == "strong alone" else weak if row.name == "weak alone" else None
    fitted = checks.provenance.coverage if checks is not None else None
    return {"name": row.name, "kind": row.kind, "model": model, "apgr": row.apgr,
            "apgr_low": _finite(row.interval.low) if row.interval else None,
            "apgr_high": _finite(row.interval.high) if row.interval else None,
            "cpt50": cpt.get(0.5), "cpt80": cpt.get(0.8),
            "cost_at_cpt50": cost.get(0.5), "cost_at_cpt80": cost.get(0.8),
            "strong_share": point.strong_share if point else None, "quality": point.quality if point else None,
            "pgr": point.pgr if point else None, "cost": row.point_cost,
            "placed_strong_share": checks.provenance.complex_share if checks is not None else None,
            "fitted_on_share": checks.fitted_share if checks is not None else None,
            "coverage": checks.coverage.mean if checks is not None and checks.coverage is not None else None,
            "fitted_coverage": fitted.mean if fitted is not None else None}


def _row_checks(report: SetReport, checks: Sequence[Checks | None]) -> list[Checks | None]:
    """The checks of each of the report's rows: the routers' first, then none for the baselines."""
    return [*checks, *[None] * (len(report.rows) - len(checks))]


def _json(args: argparse.Namespace, sets: Sequence[_Set], reports: Sequence[SetReport],
          checks: Sequence[Sequence[Checks | None]], routers: list[str], text_field: str) -> BenchJSON:
    return {"strong": args.strong, "weak": args.weak, "field": text_field, "routers": routers,
            "resamples": args.resamples, "seed": args.seed, "level": 0.95,
            "files": [{"source": s.outcomes.source, "format": s.outcomes.format, "prompts": len(s.outcomes),
                       "costs": s.outcomes.strong_costs is not None} for s in sets],
            "sets": [{"name": r.name, "prompts": r.prompts, "q_strong": r.q_strong, "q_weak": r.q_weak,
                      "cost_basis": r.cost_basis,
                      "rows": [_row_json(row, args.strong, args.weak, c) for row, c in zip(r.rows, _row_checks(r, t))]}
                     for r, t in zip(reports, checks)]}


# --- text ------------------------------------------------------------------------------------

_BASIS = {"data": "cost: the mean per prompt of the files' per-prompt costs",
          "prices": "cost: the mean per prompt at the --cost prices per call",
          "strong_share": "cost: the share of strong calls (the files give no per-prompt costs; --cost MODEL=PRICE "
                          "prices each call)"}


def _percent(value: float | None) -> str:
    return "" if value is None else f"{100 * value:.1f}%"


def _number(value: float | None, digits: int = 3) -> str:
    return "" if value is None else f"{value:.{digits}f}"


def _money(value: float | None) -> str:
    if value is None:
        return ""
    return f"{value:,.2f}" if abs(value) >= 100 else f"{value:.4f}"


def _table(report: SetReport, checks: Sequence[Checks | None], strong: str, weak: str) -> str:
    priced = report.cost_basis != "strong_share"
    headers = ["router", "APGR", "95% interval", *(f"CPT({100 * p:.0f}%)" for p in CPT_SHARES)]
    if priced:
        headers += [f"cost at CPT({100 * p:.0f}%)" for p in CPT_SHARES]
    headers += ["strong calls", "PGR", "cost"]
    rows = []
    for row, check in zip(report.rows, _row_checks(report, checks)):
        name = f"{strong} alone" if row.name == "strong alone" else f"{weak} alone" if row.name == "weak alone" \
            else row.name + (check.mark() if check is not None else "")
        interval = "" if row.interval is None else f"{row.interval.low:.3f} - {row.interval.high:.3f}"
        cells = [name, _number(row.apgr), interval, *(_percent((row.cpt or {}).get(p)) for p in CPT_SHARES)]
        if priced:
            cells += [_money((row.cost_at_cpt or {}).get(p)) for p in CPT_SHARES]
        point = row.point
        cells += [_percent(point.strong_share if point else None), _number(point.pgr if point else None),
                  _money(row.point_cost) if point else ""]
        rows.append(cells)
    return output.table(headers, rows)


def _write_report(reports: Sequence[SetReport], checks: Sequence[Sequence[Checks | None]], strong: str,
                  weak: str) -> None:
    blocks = []
    for report, table_checks in zip(reports, checks):
        head = f"{report.name}: {report.prompts:,} prompts; {strong} {report.q_strong:.4f}, {weak} {report.q_weak:.4f}"
        notes = [output.escape(f"fitted router {line}") for c in table_checks if c is not None and (line := c.note())]
        blocks.append("\n".join([output.escape(head), _table(report, table_checks, strong, weak),
                                 _BASIS[report.cost_basis], *notes]))
    output.line("\n\n".join(blocks))


COMMAND = Command(
    name="bench",
    help="measure how well routers choose between a strong and a weak model, on outcome files",
    description="Measure routers on outcome files (prompts with a strong and a weak model's results): for each "
                "file and for the files pooled, APGR (the share of the gap between the two models that the "
                "router's ranking recovers, averaged over every share of strong calls; random routing scores "
                "0.5) with its 95% bootstrap interval, CPT(50%) and CPT(80%) (the share of strong calls "
                "that recovers half and 80% of the gap), and where the router makes a choice of its own, its "
                "share of strong calls, PGR (the gap it recovers) and cost; beside random routing, the oracle "
                "and each model alone. Bad input stops the run with one line that names the file and line.",
    add_arguments=_add_arguments,
    run=_run,
    epilog=describe_exit_statuses(omit=(ExitStatus.NO_USABLE_MODEL, ExitStatus.PART_FAILED), outputs="--out, --plot"),
)
