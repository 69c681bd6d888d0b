"""``halvec fit --models``: fit a router that predicts every model's result and chooses by result
and price, report its cross-validated figures, and write the router file (version 2).

:func:`halvec.fitted.fitting_models.fit_models_router` does the work; this module reads its
options and the files, says what the fit reports (a table fold by fold and over all the
prompts, the figures of all the prompts with their intervals, the operating point; or one
JSON document with ``--json``) and what it warns of, and writes the file as ``halvec fit``
writes one (:mod:`halvec.cli.fit`).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Callable, Sequence
from functools import partial
from typing import Literal

from halvec.cli import output
from halvec.cli.fit_progress import Done, FitProgress, warn_data
from halvec.cli.inputs import option_file
from halvec.cli.options import InputError, UsageError, outcome_models
from halvec.cli.outcome_files import read_outcome_file
from halvec.cli.output_files import Input, Inputs, output_file, write_error
from halvec.cli.status import ExitStatus
from halvec.evaluation import load_prices
from halvec.fitted.fit import MIN_PROMPTS, FitProblem
from halvec.fitted.fitting import TooFewPrompts, TooFewTexts
from halvec.fitted.fitting_models import (FewPrompts, ModelsFitResult, ModelsFitWarning, PricesUnused, Target,
                                          TargetMissed, fit_models_router)
from halvec.fitted.models_file import MAX_MODELS
from halvec.fitted.router_file import dumps
from halvec.quality.costs import MissingPrices
from halvec.quality.models import Estimate, SetMeasures
from halvec.quality.outcomes import ModelChoice, OutcomeFormat, Outcomes

__all__ = ["add_arguments", "inputs_of", "model_choice", "refuse_options_of_models", "run"]

_OF_MODELS = ("target_share", "budget", "tradeoff", "prices", "min_prompts", "json")


# --- options ---------------------------------------------------------------------------------

def model_choice(text: str) -> ModelChoice:
    """``all``, or two to sixteen model names (a router file holds no more)."""
    return outcome_models(text, most=MAX_MODELS)


def _number(what: str, *, above_zero: bool = False) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not math.isfinite(value) or value < 0 or (above_zero and value == 0):
            raise argparse.ArgumentTypeError(f"expected {what}, not {text!r}")
        return value
    return parse


def _whole(text: str) -> int:
    if text.isascii() and text.isdigit() and int(text) >= 1:
        return int(text)
    raise argparse.ArgumentTypeError(f"expected a whole number of prompts, 1 or more, not {text!r}")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of ``fit --models``."""
    placing = parser.add_mutually_exclusive_group()
    placing.add_argument("--target-share", type=_number("a share above 0", above_zero=True), metavar="X",
                         help="with --models: place the router's trade-off at the cheapest point whose "
                              "cross-validated result is at least X of the best single model's (default: 0.95)")
    placing.add_argument("--budget", type=_number("a cost per prompt, 0 or more"), metavar="COST",
                         help="with --models: place it at the best cross-validated result at a mean cost per "
                              "prompt of at most COST")
    placing.add_argument("--tradeoff", type=_number("a trade-off, 0 or more"), metavar="L",
                         help="with --models: choose at the trade-off L (a unit of price is worth L in results)")
    parser.add_argument("--prices", metavar="FILE",
                        help="with --models, for files without per-prompt costs: the models' prices per 1,000 "
                             "input and output tokens, as the files name them (the format of eval --prices; each "
                             "prompt's tokens estimated as eval estimates them; default: the catalogue's, for "
                             "models named by catalogue keys)")
    parser.add_argument("--min-prompts", type=_whole, metavar="N",
                        help=f"with --models: fit on as few as N prompts (default: {MIN_PROMPTS}; below it the "
                             f"figures are noisy, and a warning says how noisy)")
    parser.add_argument("--json", action="store_true",
                        help="with --models: print one JSON document (stable keys, see docs/fitted_routers.md) "
                             "instead of the tables")


def refuse_options_of_models(args: argparse.Namespace) -> None:
    """UsageError for an option of ``--models`` given with ``--strong``/``--weak``."""
    for dest in _OF_MODELS:
        if getattr(args, dest) not in (None, False):
            raise UsageError(f"--{dest.replace('_', '-')} applies to a router of many models (--models), not to "
                             f"--strong/--weak")


def inputs_of(args: argparse.Namespace) -> list[Input | tuple[str, Input]]:
    """The files ``--models`` reads besides the outcome files (the prices file), for the checks
    that keep the output from overwriting an input."""
    return [] if args.prices is None else [(f"--prices {args.prices!r}", args.prices)]


# --- the run ---------------------------------------------------------------------------------

def run(args: argparse.Namespace, inputs: Inputs) -> int:
    """Fits, reports and writes the router (the options and paths checked)."""
    prog: str = args.parser.prog
    out_path: str = args.output
    prices = (option_file("--prices", args.prices, partial(load_prices, any_model=True))
              if args.prices is not None else None)
    target = (Target.budget(args.budget) if args.budget is not None else
              Target.tradeoff(args.tradeoff) if args.tradeoff is not None else
              Target.share(args.target_share if args.target_share is not None else 0.95))
    with output_file(out_path, option="-o", inputs=inputs) as out:
        if sys.stdout is None:  # closed (>&-): said now, not once the router is fitted
            raise output.OutputError("cannot write to standard output: it is closed")
        sets = _read(args.files, args.models, args.field, args.format)
        progress = _Stages(args.folds)
        try:
            result = fit_models_router(
                sets, prices=prices, target=target, name=os.path.splitext(os.path.basename(out_path))[0] or "fitted",
                folds=args.folds, seed=args.seed, field=args.field or "prompt",
                least=args.min_prompts if args.min_prompts is not None else MIN_PROMPTS,
                progress=progress, warn=lambda warning: _warn(prog, warning, out_path))
        except TooFewPrompts as problem:
            lower = "" if problem.least < MIN_PROMPTS else f"; --min-prompts N fits on fewer, with noisy figures"
            raise InputError(f"{problem}{lower}") from None
        except TooFewTexts as problem:  # the data's fault, not the command line's: one line
            raise InputError(f"the {problem.prompts:,} prompts hold {problem.distinct:,} different "
                             f"text{'s' if problem.distinct != 1 else ''}: too few for --folds {problem.folds} (a "
                             f"prompt's copies stay in one fold)") from None
        except MissingPrices as problem:
            raise InputError(f"{problem}; give their prices with --prices FILE (as the files name the models), or "
                             f"per-prompt \"costs\" in the files") from None
        except FitProblem as problem:
            raise InputError(f"cannot fit a router: {problem}") from None
        except ValueError as problem:  # files of other models, or of costs of different kinds
            raise InputError(str(problem)) from None
        finally:
            progress.close()
        try:
            out.write(dumps(result.spec).encode("utf-8"))
        except OSError as error:
            raise write_error("-o", out_path, error) from None
        # the report before the file takes the earlier one's place, as for a router of two models
        if args.json:
            output.json_document({"router": out_path, "report": result.report.as_json()})
        else:
            _report(result, out_path)
        output.flush()
    return ExitStatus.OK


def _read(files: Sequence[str], models: ModelChoice, text_field: str | None, fmt: OutcomeFormat | None) -> list[Outcomes]:
    """The files, each for the first one's models (``all``: every model of the first file)."""
    sets: list[Outcomes] = []
    for path in files:
        sets.append(read_outcome_file(path, models=sets[0].chosen if sets else models, text_field=text_field,
                                      fmt=fmt, progress=FitProgress(unit="prompts")))
    return sets


class _Stages:
    """The fits, then the resamples, each with its own progress line."""

    def __init__(self, folds: int) -> None:
        self._stage: str | None = None
        self._progress = FitProgress(unit=f"of {folds + 1} fits")

    def __call__(self, stage: Literal["fits", "resamples"], done: int, total: int) -> None:
        if stage != self._stage:
            self._progress.close()
            self._progress = FitProgress(unit=f"of {total:,} {stage}")
            self._stage = stage
        self._progress(Done(done, done / total))

    def close(self) -> None:
        self._progress.close()


def _warn(prog: str, warning: ModelsFitWarning, out_path: str) -> None:
    if isinstance(warning, FewPrompts):
        noise = ("" if warning.spread is None else
                 f": on draws of {warning.measured_at:,} prompts from the public outcome sets, the cross-validated "
                 f"AIQ's gain over the models alone varied by {100 * warning.spread:.0f}% of the oracle's gain "
                 f"(one standard deviation) from draw to draw")
        output.message(f"{prog}: warning: fitting on {warning.prompts:,} prompts, fewer than the {warning.least:,} "
                       f"the figures need{noise}; read them as rough\n")
    elif isinstance(warning, TargetMissed):
        target, point = warning.target, warning.point
        missed = (f"never reaches {_share(target.value)} of the best single model's result: the trade-off is placed "
                  f"at its highest point" if target.chosen_by == "target_share" else
                  f"costs more than the budget of {target.value:.4g} a prompt everywhere: the trade-off is placed "
                  f"at its cheapest point")
        output.message(f"{prog}: warning: the cross-validated frontier {missed} (result {point.result:.4g}, cost "
                       f"{point.cost:.4g} a prompt)\n")
    elif isinstance(warning, PricesUnused):
        output.message(f"{prog}: warning: the files give per-prompt costs, which price the models: --prices is not "
                       f"used\n")
    else:
        warn_data(prog, warning, out_path)


# --- text ------------------------------------------------------------------------------------

def _share(value: float | None) -> str:
    return "" if value is None else f"{100 * value:.1f}%"


def _figure(value: float | None) -> str:
    return "" if value is None else f"{value:.4g}"


def _interval(e: Estimate, shown: Callable[[float | None], str] = _figure, missing: str = "never") -> str:
    value = shown(e.value) or missing
    if e.low is None or e.high is None:
        return value
    return f"{value} ({shown(e.low)} to {shown(e.high)})"


def _row(s: SetMeasures, name: str) -> list[str]:
    router = s.routers[0]
    point = router.operating
    return [name, f"{s.prompts:,}", _figure(router.hull.aiq.value), _figure(s.models_alone.aiq.value),
            _figure(s.oracle.hull.aiq.value), _share(router.hull.reach[0.95].value),
            _share(s.models_alone.reach[0.95].value), _share(router.hull.reach[1.0].value),
            _share(s.models_alone.reach[1.0].value), _share(router.gap_recovered.value),
            _figure(point.result.value if point else None), _figure(point.cost.value if point else None)]


def _report(result: ModelsFitResult, out_path: str) -> None:
    report, spec = result.report, result.spec
    prices, placed, overall = report.prices, report.placed, report.overall
    source = {"outcome costs": "the files' per-prompt costs", "prices file": f"prices per 1,000 tokens ({prices.detail})",
              "catalogue": "the catalogue's prices per 1,000 tokens"}[prices.source]
    output.line(f"cross-validated ({report.folds} folds, seed {report.seed}; {report.resamples:,} resamples), "
                f"{len(report.models)} models, priced from {output.escape(source)}:")
    rows = [_row(s, s.name) for s in (*report.by_fold, *report.by_file)] + [_row(overall, "all")]
    headers = ["set", "prompts", "AIQ", "alone", "oracle", "to 95%", "alone", "to 100%", "alone", "gap", "result",
               "cost"]
    output.line(output.table(headers, rows))
    best = overall.best_model
    output.line(f"(AIQ: the area under the cost-result hull, for the router, the models alone and the oracle; "
                f"to 95%, to 100%: the cost to reach that share of {output.escape(best)}'s result, as a share of its "
                f"cost; gap: the share of the gap from {output.escape(best)} to the oracle that the choice by "
                f"predicted result alone recovers; result, cost: the operating point's, a prompt)")
    router = overall.routers[0]
    output.line(f"all the prompts, with 95% intervals: AIQ {_interval(router.hull.aiq)}, models alone "
                f"{_interval(overall.models_alone.aiq)}, oracle {_interval(overall.oracle.hull.aiq)}; to reach 95% "
                f"{_interval(router.hull.reach[0.95], _share)} (models alone "
                f"{_interval(overall.models_alone.reach[0.95], _share)}); to reach 100% "
                f"{_interval(router.hull.reach[1.0], _share)} (models alone "
                f"{_interval(overall.models_alone.reach[1.0], _share)}); gap recovered "
                f"{_interval(router.gap_recovered, _share, 'none to recover (the best model is the oracle)')}")
    if prices.compared is not None and prices.gain is not None:
        kept = "a price by length kept" if prices.model.form == "by length" else "each model's mean cost kept"
        output.line("prices: " + "; ".join(f"{form}, AIQ {_interval(e)}" for form, e in prices.compared.items())
                    + f"; by length adds {_interval(prices.gain)}: {kept}")
    point = router.operating
    assert point is not None
    how = {"target_share": f"the cheapest point at {_share(placed.target.value)} of {best}'s result",
           "budget": f"the best point at a cost of at most {placed.target.value:.4g} a prompt",
           "tradeoff": "as given"}[placed.target.chosen_by]
    calls = ", ".join(f"{output.escape(m)} {_share(e.value)}" for m, e in
                      sorted(point.calls.items(), key=lambda item: -(item[1].value or 0.0)) if e.value)
    output.line(f"operating point (trade-off {placed.tradeoff:.4g}, {output.escape(how)}): result "
                f"{_interval(point.result)}, cost {_interval(point.cost)} a prompt; calls: {calls}")
    output.line(f"wrote {output.escape(out_path)}: {len(spec.models)} models, {len(spec.ngrams):,} n-grams; "
                f"catalogue keys for {len(spec.catalogue)} of them")
