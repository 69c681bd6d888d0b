"""``halvec fit``: fit a router to outcome files, report its cross-validated quality, and
write the router file. Two forms: ``--strong``/``--weak`` fit a router that scores one model's
gain over another, reported beside the default rules and a word count (this module);
``--models`` a router that predicts every model's result and chooses by result and price
(:mod:`halvec.cli.fit_models`).

:func:`halvec.fitted.fitting.fit_router` does the work; this module reads the options and the
files, says what the fit reports and warns of, and writes the file beside its target, renamed
into place only when it is complete. Fitting needs the extra ``halvec[fit]``.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from dataclasses import dataclass

from halvec.cli import fit_models, output
from halvec.cli.fit_progress import Done, FitProgress, warn_data
from halvec.cli.options import Command, InputError, Once, SetupError, UsageError
from halvec.cli.outcome_files import read_outcome_file
from halvec.cli.output_files import check_output, check_report_destination, file_inputs, output_file, write_error
from halvec.cli.status import ExitStatus, describe_exit_statuses
from halvec.fitted import fit as fitting
from halvec.fitted.fitting import FitResult, Shares, TooFewPrompts, TooFewTexts, fit_router
from halvec.fitted.router_file import dumps

__all__ = ["COMMAND", "shares", "strong_share"]

_MAX_FOLDS = 50
_MAX_SEED = 2**32 - 1
"""The largest seed scikit-learn's shuffle takes."""


# --- options ---------------------------------------------------------------------------------

def shares(text: str) -> tuple[float, float, float]:
    """``S,M,C``: the shares of the simple, moderate and complex tiers, 0 to 1, summing to 1."""
    parts = text.split(",")
    try:
        values = tuple(float(part) for part in parts)
    except ValueError:
        values = ()
    if len(values) != 3 or not all(math.isfinite(v) and 0 <= v <= 1 for v in values):
        raise argparse.ArgumentTypeError(f"expected three shares S,M,C from 0 to 1 (simple, moderate, complex), "
                                         f"not {text!r}")
    if abs(sum(values) - 1) > 1e-6:
        raise argparse.ArgumentTypeError(f"the shares {text!r} add up to {sum(values):g}, not 1")
    return values[0], values[1], values[2]


def strong_share(text: str) -> float:
    """The complex tier's share, above 0 and below 1."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"expected a share of complex prompts above 0 and below 1, not {text!r}")
    return value


def _folds(text: str) -> int:
    if text.isascii() and text.isdigit() and 2 <= int(text) <= _MAX_FOLDS:
        return int(text)
    raise argparse.ArgumentTypeError(f"expected a number of folds from 2 to {_MAX_FOLDS}, not {text!r}")


def _seed(text: str) -> int:
    if text.isascii() and text.isdigit() and int(text) <= _MAX_SEED:
        return int(text)
    raise argparse.ArgumentTypeError(f"expected a whole number from 0 to {_MAX_SEED}, not {text!r}")


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="outcome files (as halvec bench reads them: JSONL or CSV with each model's result "
                             "per prompt), fitted on together; - reads standard input")
    parser.add_argument("--models", action=Once, type=fit_models.model_choice, metavar="all|A,B,...",
                        help="fit a router that predicts each of these models' result (all: every model of the "
                             "first file; or two to sixteen named) and chooses by result and price")
    parser.add_argument("--strong", action=Once, metavar="MODEL",
                        help="fit a router that scores this (expensive) model's gain over --weak's, cut into tiers")
    parser.add_argument("--weak", action=Once, metavar="MODEL", help="the weak (cheap) model, with --strong")
    parser.add_argument("-o", "--output", required=True, metavar="ROUTER.json",
                        help="the router file to write (never one of the inputs)")
    parser.add_argument("--folds", type=_folds, default=10, metavar="K",
                        help="folds of the cross-validation: each prompt is scored by a model fitted on the "
                             "other folds (default: 10)")
    parser.add_argument("--seed", type=_seed, default=0, metavar="N",
                        help=f"the seed that shuffles the prompts into folds, 0 to {_MAX_SEED} (default: 0)")
    tiers = parser.add_mutually_exclusive_group()
    tiers.add_argument("--shares", type=shares, metavar="S,M,C",
                       help="with --strong/--weak: place the cut points so that these shares of the prompts are "
                            "simple, moderate and complex (default: the shares the default rules give them)")
    tiers.add_argument("--strong-share", type=strong_share, metavar="X",
                       help="with --strong/--weak: the share of complex prompts (sent to the strongest model); the "
                            "rest is split evenly between simple and moderate")
    fit_models.add_arguments(parser)
    parser.add_argument("--field", metavar="NAME", help="the JSONL field or CSV column of the prompt (default: prompt)")
    parser.add_argument("--format", choices=("jsonl", "csv"),
                        help="the files' format (default: by the name, then the first line)")


# --- the run ---------------------------------------------------------------------------------

def _run(args: argparse.Namespace) -> int:
    files: list[str] = args.files
    out_path: str = args.output
    if args.models is not None and (args.strong is not None or args.weak is not None):
        raise UsageError("--models and --strong/--weak are two forms of router: give --models (many models, chosen "
                         "by result and price) or --strong and --weak (one model's gain over another, in tiers)")
    if args.models is None:
        if args.strong is None or args.weak is None:
            raise UsageError("give --models (a router of many models) or --strong and --weak (a router of two)"
                             if args.strong is None and args.weak is None else
                             f"{'--weak' if args.weak is None else '--strong'} is missing: a router of two models "
                             f"needs --strong and --weak")
        if args.strong == args.weak:
            raise UsageError("--strong and --weak name the same model")
        fit_models.refuse_options_of_models(args)
    else:
        for option, value in (("--shares", args.shares), ("--strong-share", args.strong_share)):
            if value is not None:
                raise UsageError(f"{option} places the cut points of a router of two models (--strong/--weak); "
                                 f"with --models, --target-share, --budget or --tradeoff places its trade-off")
    if files.count("-") > 1:
        raise UsageError("standard input (-) can be read once")
    if out_path == "-":
        raise UsageError("-o needs a file")
    inputs = file_inputs(files) + (fit_models.inputs_of(args) if args.models is not None else [])
    if getattr(args, "catalogue", None) is not None:
        inputs.append((f"--catalogue {args.catalogue!r}", args.catalogue))
    check_report_destination(inputs)
    check_output(out_path, option="-o", inputs=inputs)
    try:  # after the arguments' own mistakes, which the user can mend without installing anything
        fitting.load_libraries()
    except fitting.MissingExtra as error:
        raise SetupError(str(error)) from None
    if args.models is not None:
        return fit_models.run(args, inputs)
    prog: str = args.parser.prog
    with output_file(out_path, option="-o", inputs=inputs) as out:
        if sys.stdout is None:  # closed (>&-): said now, not once the router is fitted
            raise output.OutputError("cannot write to standard output: it is closed")
        sets = [read_outcome_file(path, strong=args.strong, weak=args.weak, text_field=args.field, fmt=args.format)
                for path in files]
        progress = FitProgress(unit=f"of {args.folds + 1} fits")  # the folds, then all the prompts
        try:
            result = fit_router(sets, name=os.path.splitext(os.path.basename(out_path))[0] or "fitted",
                                folds=args.folds, seed=args.seed, shares=_shares(args), field=args.field or "prompt",
                                progress=lambda done, fits: progress(Done(done, done / fits)),
                                warn=lambda warning: warn_data(prog, warning, out_path))
        except TooFewPrompts as problem:
            raise InputError(str(problem)) from None
        except TooFewTexts as problem:  # the data's fault, not the command line's: one line
            raise InputError(f"the {problem.prompts:,} prompts hold {problem.distinct:,} different "
                             f"text{'s' if problem.distinct != 1 else ''}: too few for --folds {problem.folds} (a "
                             f"prompt's copies stay in one fold)") from None
        except fitting.FitProblem as problem:
            raise InputError(f"cannot fit a router: {problem}") from None
        finally:
            progress.close()
        try:
            out.write(dumps(result.spec).encode("utf-8"))
        except OSError as error:
            raise write_error("-o", out_path, error) from None
        # the report is written before the file takes the earlier one's place: a run that
        # cannot write it (a closed pipe, a full disk) leaves the earlier file as it was
        _report(prog, args, result, out_path)
        output.flush()
    return ExitStatus.OK


def _shares(args: argparse.Namespace) -> Shares | None:
    if args.shares is not None:
        simple, moderate, complex_ = args.shares
        return Shares(simple, moderate, complex_, "--shares")
    if args.strong_share is not None:
        rest = (1 - args.strong_share) / 2
        return Shares(rest, rest, args.strong_share, "--strong-share")
    return None


def _report(prog: str, args: argparse.Namespace, result: FitResult, out_path: str) -> None:
    report, spec, chosen = result.report, result.spec, result.shares
    output.line(f"cross-validated APGR ({report.folds} folds, seed {report.seed}; random routing 0.500), "
                f"strong {output.escape(args.strong)}, weak {output.escape(args.weak)}:")
    rows = report.rows
    names = [output.escape(row.name) for row in rows]
    width = max([len("file"), *map(len, names)])
    output.line(f"  {'file':<{width}}  {'prompts':>8}  {'fitted':>6}  {'rules':>6}  {'words':>6}")
    for name, row in zip(names, rows):
        note = "" if row.judged else "  (too few prompts to judge alone)"
        output.line(f"  {name:<{width}}  {row.prompts:>8,}  {row.fitted:>6.3f}  {row.rules:>6.3f}  "
                    f"{row.words:>6.3f}{note}")
    for name, row in zip(names, rows):
        if row.beaten_by is not None:
            output.message(f"{prog}: warning: on {name} the fitted router does not beat the "
                           f"{'default rules' if row.beaten_by == 'rules' else 'word count'}\n")
    cuts = spec.cuts
    output.line(f"wrote {output.escape(out_path)}: {len(spec.ngrams):,} n-grams; cut points {cuts[0]:.4g} (moderate) "
                f"and {cuts[1]:.4g} (complex), placed for {100 * chosen.simple:.0f}% simple, "
                f"{100 * chosen.moderate:.0f}% moderate, {100 * chosen.complex:.0f}% complex ({chosen.source})")


COMMAND = Command(
    name="fit",
    help="fit a router to outcome files and write it",
    description="Fit a router to outcome files and write the router file, for route, classify, eval and bench "
                "--router FILE. With --models, a router that predicts each model's result and chooses the model "
                "by result and price: its K-fold cross-validated AIQ, cost to reach 95% and 100% of the best "
                "single model's result and operating point, fold by fold and over all the prompts, beside the "
                "models alone and the oracle. With --strong and --weak, a router that scores the strong model's "
                "gain over the weak one, cut into tiers: its cross-validated APGR beside the default rules and a "
                "word count. Needs the extra halvec[fit] (numpy, scipy, scikit-learn).",
    add_arguments=_add_arguments,
    run=_run,
    epilog=describe_exit_statuses(omit=(ExitStatus.NO_USABLE_MODEL, ExitStatus.PART_FAILED), outputs="-o"),
)
