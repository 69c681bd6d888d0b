"""``halvec bench``: how good routers' choices between a strong and a weak model are, measured on
outcome files (prompts with both models' results); with ``--models``, routers that choose among
many priced models (:mod:`halvec.cli.bench_models`, which this module hands the run to once the
options and outputs are checked).

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
import sys
from collections.abc import Callable, Sequence
from contextlib import ExitStack
from functools import partial
from typing import IO, Any

from halvec.cli import bench_models, output
from halvec.cli.fitted_notes import mark, note, warn
from halvec.cli.fitted_router import read_router, tiering_router
from halvec.cli.options import Command, InputError, Once, SetupError, UsageError, near_miss
from halvec.cli.outcome_files import Drawn, read_outcome_file, warn_pooled
from halvec.cli.output_files import check_output, check_report_destination, file_inputs, output_file, write_error
from halvec.cli.progress import Progress
from halvec.cli.status import ExitStatus, describe_exit_statuses
from halvec.quality import plot
from halvec.quality.benchmark import Benchmark, BenchWarning, Scoring, measure_sets, prompt_records, score
from halvec.quality.outcomes import OutcomeFormat
from halvec.quality.pooling import DifferentScales, RepeatedAcrossFiles, ScoredSet
from halvec.quality.report import CPT_SHARES, SetReport
from halvec.quality.routers import BUILT_IN, Router

__all__ = ["COMMAND"]

DEFAULT_ROUTERS = ("rules", "words")


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


MOST_RESAMPLES = 100_000
"""More resamples than this move a 95% interval's ends by less than the figures show, and a
mistyped count (a few more zeros) would run for hours."""


def _whole(least: int, most: int | None = None) -> Callable[[str], int]:
    def parse(text: str) -> int:
        if text.isascii() and text.isdigit() and least <= int(text) <= (most if most is not None else int(text)):
            return int(text)
        bound = f"from {least} to {most:,}" if most is not None else f"of {least} or more"
        raise argparse.ArgumentTypeError(f"not a whole number {bound}: {text!r}")
    return parse


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="outcome files: JSONL (a prompt a line, with \"scores\": model to result, and "
                             "optionally \"costs\", \"id\", \"category\") or CSV with a header (the prompt's "
                             "column and a result column per model); gzip is read as it is; - reads standard input")
    parser.add_argument("--strong", action=Once, metavar="MODEL",
                        help="the strong (expensive) model, as the files name it")
    parser.add_argument("--weak", action=Once, metavar="MODEL",
                        help="the weak (cheap) model, as the files name it")
    bench_models.add_arguments(parser)
    parser.add_argument("--router", action="append", metavar="rules|words|FILE",
                        type=partial(read_router, compared=True),
                        help="a router to measure (repeat for more): rules (the default tiers; complex goes to "
                             "the strong model), words (the word count) or a fitted router file from halvec fit "
                             "(./rules for a file named rules); default: rules and words, and the files given "
                             "after them unless rules or words is named); with --models, a router file of version 2 "
                             "from halvec fit --models (default: none, the baselines alone)")
    parser.add_argument("--field", metavar="NAME", help="the JSONL field or CSV column of the prompt (default: prompt)")
    parser.add_argument("--format", choices=("jsonl", "csv"),
                        help="the files' format (default: by the name, .jsonl .ndjson .json .csv, then the first "
                             "line)")
    parser.add_argument("--cost", action="append", type=_price, metavar="MODEL=PRICE",
                        help="a price per call for each of the two models (give both); without it, the files' "
                             "per-prompt \"costs\" where every prompt has them, else the share of strong calls")
    parser.add_argument("--resamples", type=_whole(1, MOST_RESAMPLES), default=1000, metavar="N",
                        help=f"bootstrap resamples for the 95%% intervals (default: 1000; at most {MOST_RESAMPLES:,})")
    parser.add_argument("--seed", type=_whole(0), default=0, metavar="N",
                        help="the resampling's seed: the same seed gives the same intervals (default: 0)")
    parser.add_argument("--out", metavar="FILE",
                        help="write one JSON line per prompt to FILE: its results and each router's score and "
                             "routed model; with --models, every model's result and cost, and each router's "
                             "predicted results and prices and the model it chooses")
    parser.add_argument("--plot", metavar="FILE.svg|FILE.png",
                        help="draw quality against the share of strong calls, with random routing's line and "
                             "both models' levels; with --models, result against cost, with each router's frontier, "
                             "the oracle's, the models alone and each model (needs matplotlib: pip install "
                             "'halvec[plot]')")
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
        loaded = fitted.load_router(spec)
    except OSError as error:
        raise UsageError(f"cannot read --router {spec!r}: {error.strerror or error}") from None
    except refused as error:
        raise InputError(f"--router {error}") from None  # the error names the file
    router: Router = tiering_router(loaded, spec)
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


# --- the run ---------------------------------------------------------------------------------

def _form(args: argparse.Namespace) -> bool:
    """Whether the run measures many models (--models) rather than a pair: the two are exclusive."""
    if args.models is not None:
        given = [option for option, value in (("--strong", args.strong), ("--weak", args.weak), ("--cost", args.cost))
                 if value]
        if given:
            raise UsageError(f"--models measures many models, {' and '.join(given)} a pair: give one form or the "
                             f"other (with --models, --prices FILE prices the models)")
        return True
    if args.prices is not None:
        raise UsageError("--prices prices the models of --models; with --strong and --weak, price each call with "
                         "--cost MODEL=PRICE")
    missing = [option for option, value in (("--strong", args.strong), ("--weak", args.weak)) if value is None]
    if missing:
        raise UsageError(f"the following arguments are required: {', '.join(missing)} (or --models, to measure "
                         f"routers among many models)")
    return False


def _run(args: argparse.Namespace) -> int:
    files: list[str] = args.files
    strong_model: str = args.strong
    weak_model: str = args.weak
    out_path: str | None = args.out
    plot_path: str | None = args.plot
    many = _form(args)
    if not many and strong_model == weak_model:
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
    prices = None if many else _prices(args)
    _refuse_repeats(args.router)
    specs = bench_models.router_specs(args.router) if many else _specs(args.router)
    router_files = [spec for spec in specs if many or spec not in BUILT_IN]
    inputs = [*file_inputs(files), *router_files]  # a router file is always a file
    if args.prices is not None:
        inputs.append(args.prices)
    if getattr(args, "catalogue", None) is not None:
        inputs.append((f"--catalogue {args.catalogue!r}", args.catalogue))
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
    if many:
        return bench_models.run(args, specs, inputs, pyplot, plot_format)
    routers = _routers(specs)
    fmt: OutcomeFormat | None = args.format
    text_field: str = args.field or "prompt"

    with ExitStack() as stack:
        out = stack.enter_context(output_file(out_path, inputs=inputs)) if out_path is not None else None
        figure = stack.enter_context(output_file(plot_path, option="--plot", inputs=inputs)) \
            if plot_path is not None else None
        if sys.stdout is None:  # closed (>&-): said now, not once every file is read and measured
            raise output.OutputError("cannot write to standard output: it is closed")
        scoring = score([read_outcome_file(path, strong=strong_model, weak=weak_model, text_field=text_field, fmt=fmt)
                         for path in files], routers)
        for warning in scoring.warnings:
            _warn(args.parser.prog, warning)
        if out is not None and out_path is not None:
            try:
                _write_lines(out, [s for s in scoring.sets if not s.pooled])
            except OSError as error:
                raise write_error("--out", out_path, error) from None
        bench = _measure(scoring, prices, args.resamples, args.seed, text_field)
        if figure is not None and plot_path is not None:
            try:
                plot.draw(pyplot, bench.reports, figure, plot_format, strong=strong_model, weak=weak_model)
            except OSError as error:
                raise write_error("--plot", plot_path, error) from None
        if args.json:
            output.json_document(bench.as_json())
        else:
            _write_report(bench)
    return ExitStatus.OK


def _refuse_repeats(given: Sequence[str] | None) -> None:
    """A router given twice would be two rows of one name: refused."""
    seen: set[str] = set()
    for spec in given or ():
        if spec in seen:
            raise UsageError(f"--router {spec!r} is given twice: each router is measured once")
        seen.add(spec)


def _specs(given: Sequence[str] | None) -> list[str]:
    """The routers to measure: the default ones, and after them the files given; only those
    given when rules or words is among them."""
    if not given:
        return list(DEFAULT_ROUTERS)
    if any(spec in BUILT_IN for spec in given):
        return list(given)
    return [*DEFAULT_ROUTERS, *given]


def _measure(scoring: Scoring, prices: tuple[float, float] | None, resamples: int, seed: int,
             text_field: str) -> Benchmark:
    progress = Progress(unit="resamples")
    try:
        return measure_sets(scoring, prices=prices, resamples=resamples, seed=seed, field=text_field,
                            progress=lambda drawn, total: progress(Drawn(drawn, drawn / total)))
    finally:
        progress.close()


def _warn(prog: str, warning: BenchWarning) -> None:
    if isinstance(warning, (DifferentScales, RepeatedAcrossFiles)):
        warn_pooled(prog, warning)
    else:
        warn(prog, warning)


def _write_lines(out: IO[bytes], sets: Sequence[ScoredSet]) -> None:
    """One JSON line a prompt, a thousand or so at a time."""
    for s in sets:
        lines = []
        for record in prompt_records(s):
            lines.append(json.dumps(output.without_lone_surrogates(record), ensure_ascii=False))
            if len(lines) == 1024:
                out.write(("\n".join(lines) + "\n").encode("utf-8"))
                lines = []
        if lines:
            out.write(("\n".join(lines) + "\n").encode("utf-8"))


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


def _table(report: SetReport, strong: str, weak: str) -> str:
    priced = report.cost_basis != "strong_share"
    headers = ["router", "APGR", "95% interval", *(f"CPT({100 * p:.0f}%)" for p in CPT_SHARES)]
    if priced:
        headers += [f"cost at CPT({100 * p:.0f}%)" for p in CPT_SHARES]
    headers += ["strong calls", "PGR", "cost"]
    rows = []
    for row in report.rows:
        name = f"{strong} alone" if row.name == "strong alone" else f"{weak} alone" if row.name == "weak alone" \
            else row.name + (mark(row.checks) if row.checks is not None else "")
        interval = "" if row.interval is None else f"{row.interval.low:.3f} - {row.interval.high:.3f}"
        cells = [name, _number(row.apgr), interval, *(_percent((row.cpt or {}).get(p)) for p in CPT_SHARES)]
        if priced:
            cells += [_money((row.cost_at_cpt or {}).get(p)) for p in CPT_SHARES]
        point = row.point
        cells += [_percent(point.strong_share if point else None), _number(point.pgr if point else None),
                  _money(row.point_cost) if point else ""]
        rows.append(cells)
    return output.table(headers, rows)


def _write_report(bench: Benchmark) -> None:
    strong, weak = bench.strong, bench.weak
    blocks = []
    for report in bench.reports:
        head = f"{report.name}: {report.prompts:,} prompts; {strong} {report.q_strong:.4f}, {weak} {report.q_weak:.4f}"
        notes = [output.escape(f"fitted router {line}") for row in report.rows
                 if row.checks is not None and (line := note(row.checks))]
        blocks.append("\n".join([output.escape(head), _table(report, strong, weak), _BASIS[report.cost_basis], *notes]))
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
                "and each model alone. With --models, routers that choose among many priced models (router files "
                "of version 2): each one's AIQ, cost to reach 95% and 100% of the best single model's result and "
                "operating point, beside the models alone, each model alone and the oracle, every figure with its "
                "95% interval. Bad input stops the run with one line that names the file and line.",
    add_arguments=_add_arguments,
    run=_run,
    epilog=describe_exit_statuses(omit=(ExitStatus.NO_USABLE_MODEL, ExitStatus.PART_FAILED), outputs="--out, --plot"),
)
