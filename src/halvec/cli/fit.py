"""``halvec fit``: fit a router to outcome files, report its cross-validated quality beside
the default rules and a word count, and write the router file.

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

from halvec.cli import output
from halvec.cli.options import Command, InputError, Once, SetupError, UsageError
from halvec.cli.outcome_files import read_outcome_file
from halvec.cli.output_files import check_output, check_report_destination, file_inputs, output_file, write_error
from halvec.cli.progress import Progress
from halvec.cli.status import ExitStatus, describe_exit_statuses
from halvec.fitted import fit as fitting
from halvec.reading import ROUTER_FILE
from halvec.fitted.fitting import (DigestLeftOut, FitResult, FitWarning, RepeatedPrompts, Shares, TooFewPrompts,
                                   TooFewTexts, fit_router)
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
    parser.add_argument("--strong", required=True, action=Once, metavar="MODEL", help="the strong (expensive) model")
    parser.add_argument("--weak", required=True, action=Once, metavar="MODEL", help="the weak (cheap) model")
    parser.add_argument("-o", "--output", required=True, metavar="ROUTER.json",
                        help="the router file to write (never one of the inputs)")
    parser.add_argument("--folds", type=_folds, default=10, metavar="K",
                        help="folds of the cross-validation: each prompt is scored by a model fitted on the "
                             "other folds (default: 10)")
    parser.add_argument("--seed", type=_seed, default=0, metavar="N",
                        help=f"the seed that shuffles the prompts into folds, 0 to {_MAX_SEED} (default: 0)")
    tiers = parser.add_mutually_exclusive_group()
    tiers.add_argument("--shares", type=shares, metavar="S,M,C",
                       help="place the cut points so that these shares of the prompts are simple, moderate and "
                            "complex (default: the shares the default rules give them)")
    tiers.add_argument("--strong-share", type=strong_share, metavar="X",
                       help="the share of complex prompts (sent to the strongest model); the rest is split evenly "
                            "between simple and moderate")
    parser.add_argument("--field", metavar="NAME", help="the JSONL field or CSV column of the prompt (default: prompt)")
    parser.add_argument("--format", choices=("jsonl", "csv"),
                        help="the files' format (default: by the name, then the first line)")


# --- the run ---------------------------------------------------------------------------------

def _run(args: argparse.Namespace) -> int:
    files: list[str] = args.files
    out_path: str = args.output
    if args.strong == args.weak:
        raise UsageError("--strong and --weak name the same model")
    if files.count("-") > 1:
        raise UsageError("standard input (-) can be read once")
    if out_path == "-":
        raise UsageError("-o needs a file")
    inputs = file_inputs(files)
    check_report_destination(inputs)
    check_output(out_path, option="-o", inputs=inputs)
    try:  # after the arguments' own mistakes, which the user can mend without installing anything
        fitting.load_libraries()
    except fitting.MissingExtra as error:
        raise SetupError(str(error)) from None
    prog: str = args.parser.prog
    with output_file(out_path, option="-o", inputs=inputs) as out:
        if sys.stdout is None:  # closed (>&-): said now, not once the router is fitted
            raise output.OutputError("cannot write to standard output: it is closed")
        sets = [read_outcome_file(path, strong=args.strong, weak=args.weak, text_field=args.field, fmt=args.format)
                for path in files]
        progress = _FitProgress(unit=f"of {args.folds + 1} fits")  # the folds, then all the prompts
        try:
            result = fit_router(sets, name=os.path.splitext(os.path.basename(out_path))[0] or "fitted",
                                folds=args.folds, seed=args.seed, shares=_shares(args), field=args.field or "prompt",
                                progress=lambda done, fits: progress(_Done(done, done / fits)),
                                warn=lambda warning: _warn(prog, warning, out_path))
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


class _FitProgress(Progress):
    """Fits done and the time left; a rate of fits a second says nothing."""

    @staticmethod
    def line(tasks: int, fraction: float | None, elapsed: float, *, unit: str = "tasks") -> str:
        full = Progress.line(tasks, fraction, elapsed, unit=unit)
        return f"{tasks:,} {unit}" + (full[full.rindex("  "):] if full.endswith(" left") else "")


@dataclass
class _Done:
    tasks: int
    fraction_read: float


def _warn(prog: str, warning: FitWarning, out_path: str) -> None:
    if isinstance(warning, DigestLeftOut):
        output.message(f"{prog}: warning: the digest of the {warning.distinct:,} different prompts is left out of "
                       f"{output.escape(repr(out_path), backslash=False)}: with it the file would be "
                       f"{ROUTER_FILE.problem()}; bench cannot tell whether the router is measured on the "
                       f"prompts it was fitted on\n")
    elif isinstance(warning, RepeatedPrompts):
        output.message(f"{prog}: warning: {warning.repeated:,} of the {warning.prompts:,} prompts repeat an earlier "
                       f"prompt's text exactly (a file given twice, or repeats within a file): each text's copies "
                       f"are kept in one fold, so that no copy is scored by a model fitted on its twin\n")
    else:
        output.message(f"{prog}: warning: the files' results are on different scales (up to "
                       f"{', '.join(f'{top:g}' for _, top in warning.largest)}): the larger scale weighs more in the "
                       f"fit\n")


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
    description="Fit a router to outcome files (prompts with a strong and a weak model's results): report its "
                "K-fold cross-validated APGR beside the default rules and a word count, then fit it on all the "
                "prompts and write the router file, for route, classify, eval and bench --router FILE. Needs "
                "the extra halvec[fit] (numpy, scipy, scikit-learn).",
    add_arguments=_add_arguments,
    run=_run,
    epilog=describe_exit_statuses(omit=(ExitStatus.NO_USABLE_MODEL, ExitStatus.PART_FAILED), outputs="-o"),
)
