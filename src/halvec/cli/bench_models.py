"""``halvec bench --models``: routers that choose among many priced models (fitted router files
of version 2), measured on outcome files.

For each file, and for the files pooled, two tables: each router's AIQ, cost to reach 95% and
100% of the best single model's result and its operating point, beside the models alone and
the oracle; then each model alone and the share of calls each router sends it. Every figure
with its bootstrap interval. :mod:`halvec.quality.models_benchmark` does the measuring; this
module reads the options that are this form's own, writes the report (text, or one JSON
document with ``--json``, whose keys docs/quality.md lists), the optional per-prompt lines
(``--out``) and figure (``--plot``). :mod:`halvec.cli.bench` parses the command and checks the
outputs for both forms.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Callable, Sequence
from contextlib import ExitStack
from functools import partial
from typing import IO, Any

from halvec.cli import output
from halvec.cli.fitted_notes import mark, note, warn
from halvec.cli.inputs import option_file
from halvec.cli.options import InputError, Once, UsageError, near_miss, outcome_models
from halvec.cli.outcome_files import Drawn, read_outcome_file, warn_pooled
from halvec.cli.output_files import output_file, write_error
from halvec.cli.progress import Progress
from halvec.cli.status import ExitStatus
from halvec.evaluation import ESTIMATED_OUTPUT_TOKENS, Prices, load_prices
from halvec.fitted import FittedRouter, RouterFileError, load_router
from halvec.fitted.checks import Checks, FittedOn
from halvec.quality import plot_models
from halvec.quality.costs import MissingPrices, PromptCosts, prompt_costs
from halvec.quality.models import Estimate, HullMeasures, ModelSet, PointMeasures, SetMeasures
from halvec.quality.models_benchmark import (ModelBench, ModelBenchWarning, ModelScoring, measure, prompt_records,
                                             score)
from halvec.quality.outcomes import ModelChoice
from halvec.quality.pooling import DifferentScales, RepeatedAcrossFiles
from halvec.quality.routers import BUILT_IN

__all__ = ["add_arguments", "router_specs", "run"]


# --- options ---------------------------------------------------------------------------------

def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of the many-model form."""
    parser.add_argument("--models", action=Once, type=outcome_models, metavar="all|A,B,...",
                        help="measure routers that choose among many models: every model of the files (all) or "
                             "those named, as the files name them; --router then names version-2 router files "
                             "from halvec fit --models (instead of --strong and --weak)")
    parser.add_argument("--prices", metavar="FILE",
                        help="with --models: prices per 1,000 input and output tokens for the models, as the files "
                             "name them (the format of eval --prices; each prompt's tokens estimated as eval "
                             "estimates them); used where the files give no per-prompt \"costs\" (default: the "
                             "catalogue's prices, for models named by catalogue keys)")


def router_specs(given: Sequence[str] | None) -> list[str]:
    """The router files to measure among many models (none: the baselines alone). ``rules``
    and ``words`` rank descriptions for a pair of models: one line."""
    for spec in given or ():
        if spec in BUILT_IN:
            raise UsageError(f"--router {spec}: {spec} ranks descriptions to choose between two models, and has no "
                             f"place among many; with --models, --router names a router file from halvec fit "
                             f"--models (./{spec} for a file of that name)")
    return list(given or ())


# --- routers ---------------------------------------------------------------------------------

def _load(spec: str) -> FittedRouter:
    try:
        router = load_router(spec)
    except OSError as error:
        raise UsageError(f"cannot read --router {spec!r}: {error.strerror or error}") from None
    except RouterFileError as error:
        raise InputError(f"--router {error}") from None  # the error names the file
    if router.version != 2:
        pair = " over ".join(map(repr, router.models)) or "of one model over another"
        raise InputError(f"--router {spec!r}: a router of version 1, which scores the gain {pair}, cannot be "
                         f"measured among many models: measure it with --strong and --weak, or fit one for "
                         f"--models with halvec fit --models")
    return router


def _routers(specs: Sequence[str]) -> list[tuple[str, FittedRouter, float | None]]:
    """(the name to show, the router, its trade-off); a name that repeats is shown as given."""
    loaded = [(spec, _load(spec)) for spec in specs]
    names = [router.name for _, router in loaded]
    return [(router.name if names.count(router.name) == 1 else spec, router, router.tradeoff)
            for spec, router in loaded]


# --- the run ---------------------------------------------------------------------------------

def run(args: argparse.Namespace, specs: Sequence[str], inputs: Sequence[Any], pyplot: Any, plot_format: str) -> int:
    """Measures the routers ``specs`` among the models of ``--models``; the outputs were checked
    against ``inputs`` and ``pyplot`` loaded where ``--plot`` asks for it."""
    files: list[str] = args.files
    out_path: str | None = args.out
    plot_path: str | None = args.plot
    text_field: str = args.field or "prompt"
    routers = _routers(specs)
    prices = (option_file("--prices", args.prices, partial(load_prices, any_model=True))
              if args.prices is not None else None)

    with ExitStack() as stack:
        out = stack.enter_context(output_file(out_path, inputs=inputs)) if out_path is not None else None
        figure = stack.enter_context(output_file(plot_path, option="--plot", inputs=inputs)) \
            if plot_path is not None else None
        if sys.stdout is None:  # closed (>&-): said now, not once every file is read and measured
            raise output.OutputError("cannot write to standard output: it is closed")
        sets, costs = _read(files, args.models, text_field, args.format, prices)
        if prices is not None and all(c.source == "outcome costs" for c in costs):
            output.message(f"{args.parser.prog}: warning: --prices is not used: the files give each prompt's "
                           f"cost with each model\n")
        try:
            scoring = score(sets, costs, routers)
        except ValueError as error:
            raise InputError(str(error)) from None
        for warning in scoring.warnings:
            _warn(args.parser.prog, warning)
        if out is not None and out_path is not None:
            try:
                _write_lines(out, scoring)
            except OSError as error:
                raise write_error("--out", out_path, error) from None
        bench = _measure(scoring, args.resamples, args.seed, text_field)
        if figure is not None and plot_path is not None:
            try:
                plot_models.draw(pyplot, bench.benchmark.sets, figure, plot_format)
            except OSError as error:
                raise write_error("--plot", plot_path, error) from None
        if args.json:
            output.json_document(bench.as_json())
        else:
            _write_report(bench)
    return ExitStatus.OK


def _read(files: Sequence[str], models: ModelChoice, text_field: str, fmt: Any,
          prices: Prices | None) -> tuple[list[ModelSet], list[PromptCosts]]:
    sets, costs = [], []
    for path in files:
        outcomes = read_outcome_file(path, models=models, text_field=text_field, fmt=fmt)
        try:
            priced = prompt_costs(outcomes, prices)
        except MissingPrices as error:
            if error.source == "catalogue":
                raise InputError(f"{error}: give the models' prices with --prices FILE") from None
            hint = near_miss(error.models[0], list(prices.per_1k) if prices is not None else [])
            raise InputError(str(error) + (f"; did you mean {hint!r}?" if hint is not None else "")) from None
        sets.append(ModelSet.of(outcomes, priced))
        costs.append(priced)
    return sets, costs


def _measure(scoring: ModelScoring, resamples: int, seed: int, text_field: str) -> ModelBench:
    progress = Progress(unit="resamples")
    try:
        return measure(scoring, resamples=resamples, seed=seed, field=text_field,
                       progress=lambda drawn, total: progress(Drawn(drawn, drawn / total)))
    except ValueError as error:  # what the measures refuse (a result or cost too large to measure)
        raise InputError(str(error)) from None
    finally:
        progress.close()


def _warn(prog: str, warning: ModelBenchWarning) -> None:
    if isinstance(warning, (DifferentScales, RepeatedAcrossFiles)):
        warn_pooled(prog, warning)
    elif isinstance(warning, FittedOn):
        where = "standard input" if warning.source == "-" else repr(warning.source)
        said = (f"the router {warning.router!r} was fitted on {100 * warning.share:.1f}% of the prompts of {where}: "
                f"measured on them it looks better than it is; judge it by halvec fit's cross-validated figures")
        output.message(f"{prog}: warning: {output.escape(said, backslash=False)}\n")
    else:
        warn(prog, warning)


def _write_lines(out: IO[bytes], scoring: ModelScoring) -> None:
    """One JSON line a prompt, a thousand or so at a time."""
    lines = []
    for record in prompt_records(scoring):
        lines.append(json.dumps(output.without_lone_surrogates(record), ensure_ascii=False))
        if len(lines) == 1024:
            out.write(("\n".join(lines) + "\n").encode("utf-8"))
            lines = []
    if lines:
        out.write(("\n".join(lines) + "\n").encode("utf-8"))


# --- text ------------------------------------------------------------------------------------

def _fixed(value: float, significant: int = 3) -> str:
    """``value`` with about ``significant`` significant digits, without an exponent."""
    if value == 0 or not math.isfinite(value):
        return f"{value:g}"
    digits = max(0, significant - 1 - math.floor(math.log10(abs(value))))
    return f"{value:,.{digits}f}"


def _cell(e: Estimate | None, shown: Callable[[float], str]) -> str:
    """A figure and its interval: ``0.853 [0.841, 0.866]``; the figure alone where every resample
    gives it; blank where it is undefined."""
    if e is None or e.value is None:
        return ""
    if e.low is None or e.high is None or e.low == e.high == e.value:
        return shown(e.value)
    return f"{shown(e.value)} [{shown(e.low)}, {shown(e.high)}]"


def _percent(value: float) -> str:
    return f"{100 * value:.1f}%"


def _result(value: float) -> str:
    return f"{value:.3f}" if abs(value) < 100 else _fixed(value, 4)


def _routers_table(s: SetMeasures, checks: Sequence[Checks | None]) -> str:
    """Each router, the models alone and the oracle."""
    def row(name: str, hull: HullMeasures, point: PointMeasures | None, gap: Estimate | None) -> list[str]:
        return [name, _cell(hull.aiq, _result), _cell(hull.reach.get(0.95), _percent),
                _cell(hull.reach.get(1.0), _percent), _cell(point.result if point else None, _result),
                _cell(point.cost if point else None, _fixed), _cell(gap, _result)]

    rows = [row(r.name + (mark(c) if c is not None else ""), r.hull, r.operating, r.gap_recovered)
            for r, c in zip(s.routers, checks)]
    rows.append(row("models alone", s.models_alone, None, None))
    rows.append(row("oracle", s.oracle.hull, s.oracle.quality_only, None))
    headers = ["router", "AIQ", "cost to 95%", "cost to 100%", "result", "cost", "gap at λ=0"]
    return output.table(headers, [[output.escape(cell) for cell in cells] for cells in rows])


def _models_table(s: SetMeasures) -> str:
    chooser = [*s.routers, s.oracle]
    headers = ["model", "result alone", "cost alone", *(f"calls: {r.name}" for r in chooser)]
    rows = []
    for single in s.single:
        calls = []
        for r in chooser:
            point = r.operating if r.kind == "router" else r.quality_only
            calls.append(_cell(point.calls.get(single.model), _percent) if point is not None else "")
        name = single.model + (" (best)" if single.model == s.best_model else "")
        rows.append([name, _cell(single.result, _result), _cell(single.cost, _fixed), *calls])
    return output.table([output.escape(h) for h in headers], [[output.escape(c) for c in row] for row in rows])


def _costs_line(costs: Sequence[PromptCosts]) -> str:
    first = costs[0]
    if first.source == "outcome costs":
        return "costs: each prompt's own, from the files"
    where = "the catalogue's prices" if first.source == "catalogue" else \
        f"the prices of --prices {first.detail or ''}".rstrip()
    return (f"costs: {where} per 1,000 tokens, each prompt's input tokens estimated from its text (UTF-8 bytes / 4) "
            f"and {ESTIMATED_OUTPUT_TOKENS} output tokens")


def _write_report(bench: ModelBench) -> None:
    blocks = []
    scoring = bench.scoring
    for index, s in enumerate(bench.benchmark.sets):
        best = next(m for m in s.single if m.model == s.best_model)
        head = (f"{s.name}: {s.prompts:,} prompts, {len(s.models)} models; the best single model {s.best_model} "
                f"({_result(best.result.value or 0.0)} at {_fixed(best.cost.value or 0.0)} a prompt)")
        checks = bench.checks(index)
        notes = [output.escape(f"fitted router {line}") for c in checks if c is not None and (line := note(c))]
        costs = scoring.costs if s.pooled else [scoring.costs[index]]
        blocks.append("\n".join([output.escape(head), _routers_table(s, checks), "", _models_table(s),
                                 _costs_line(costs), *notes]))
    blocks.append(f"cost to x: the least mean cost at which the hull reaches x of the best single model's result, "
                  f"as a share of its cost; result, cost and calls: at each router's own trade-off (the oracle: "
                  f"its choice); gap at λ=0: the share of the gap from the best single model to the oracle that the "
                  f"choice on predicted result alone recovers; in square brackets, 95% intervals "
                  f"({bench.benchmark.resamples:,} resamples, seed {bench.benchmark.seed})")
    output.line("\n\n".join(blocks))
