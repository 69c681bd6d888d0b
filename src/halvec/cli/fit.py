"""``halvec fit``: fit a router to outcome files, report its cross-validated quality beside
the default rules and a word count, and write the router file.

The report's figures are K-fold cross-validated: each prompt is scored by a model fitted
without its fold. Then the model is fitted on all the prompts, its cut points are placed
where the cross-validated scores give the asked shares of the three tiers (scores of prompts
a model has not seen, as new prompts will be), and the file is written beside its target and
renamed into place only when it is complete. Fitting needs the extra ``halvec[fit]``.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import math
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any

import halvec
from halvec import _bounded
from halvec.cli import output
from halvec.cli.options import Command, InputError, Once, SetupError, UsageError
from halvec.cli.outcome_files import read_outcome_file
from halvec.cli.output_files import check_output, check_report_destination, file_inputs, output_file, write_error
from halvec.cli.progress import Progress
from halvec.cli.status import ExitStatus, describe_exit_statuses
from halvec.fitted import fit as fitting
from halvec.fitted.router_file import RouterSpec, dumps
from halvec.quality.metrics import apgr, gap_sign
from halvec.quality.outcomes import OutcomeFormat, Outcomes
from halvec.quality.routers import RulesRouter, WordsRouter

__all__ = ["COMMAND", "Shares", "shares", "strong_share"]

Shares = tuple[float, float, float]
_MAX_FOLDS = 50
_MAX_SEED = 2**32 - 1
"""The largest seed scikit-learn's shuffle takes."""


# --- options ---------------------------------------------------------------------------------

def shares(text: str) -> Shares:
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
        sets = [_read(path, args) for path in files]
        texts = [text for s in sets for text in s.texts]
        strong = [r for s in sets for r in s.strong]
        weak = [r for s in sets for r in s.weak]
        if len(texts) < fitting.MIN_PROMPTS:
            raise InputError(f"{len(texts):,} prompts are too few to fit a router on: it needs at least "
                             f"{fitting.MIN_PROMPTS:,} (with fewer, the model has too little to learn from and its "
                             f"measured quality is mostly noise)")
        distinct = fitting.distinct(texts)
        if args.folds > distinct:  # the data's fault, not the command line's: one line
            raise InputError(f"the {len(texts):,} prompts hold {distinct:,} different text{'s' if distinct != 1 else ''}: "
                             f"too few for --folds {args.folds} (a prompt's copies stay in one fold)")
        _warn_of_repeats(prog, len(texts), distinct)
        settings = fitting.Settings()
        fits = args.folds + 1  # the folds, then all the prompts
        progress = _FitProgress(unit=f"of {fits} fits")
        try:
            prompts = fitting.read(texts, settings)
            scores = fitting.cross_validate(prompts, strong, weak, folds=args.folds, seed=args.seed,
                                            settings=settings, progress=lambda done: progress(_Done(done, done / fits)))
            model = fitting.fit(prompts, strong, weak, settings)
        except fitting.FitProblem as problem:
            raise InputError(f"cannot fit a router: {problem}") from None
        finally:
            progress.close()
        rows = _measure(sets, scores)
        _warn_of_scales(prog, sets)
        chosen, source = _shares(args, texts)
        cuts = fitting.cuts_for(scores, chosen)
        name = os.path.splitext(os.path.basename(out_path))[0] or "fitted"
        spec = fitting.spec_of(model, settings, name=name, cuts=cuts,
                               fitted_on=_fitted_on(args, sets, rows, chosen, source, len(texts) - distinct))
        try:
            spec = fitting.with_provenance(spec, texts)
        except fitting.FitProblem as problem:
            raise InputError(f"cannot fit a router: {problem}") from None
        try:
            out.write(_file_content(prog, spec, distinct, out_path))
        except OSError as error:
            raise write_error("-o", out_path, error) from None
        # the report is written before the file takes the earlier one's place: a run that
        # cannot write it (a closed pipe, a full disk) leaves the earlier file as it was
        _report(prog, args, rows, spec.ngrams, cuts, chosen, source, out_path)
        output.flush()
    return ExitStatus.OK


def _file_content(prog: str, spec: RouterSpec, distinct: int, out_path: str) -> bytes:
    """The router file's bytes; without the digest of the prompts when with it the file would
    pass what a router file may have (millions of prompts), which is said."""
    data = dumps(spec).encode("utf-8")
    if len(data) <= _bounded.ROUTER_FILE.bytes or spec.fitted_on.get("prompt_digest") is None:
        return data
    output.message(f"{prog}: warning: the digest of the {distinct:,} different prompts is left out of "
                   f"{output.escape(repr(out_path), backslash=False)}: with it the file would be "
                   f"{_bounded.ROUTER_FILE.problem()}; bench cannot tell whether the router is measured on the "
                   f"prompts it was fitted on\n")
    return dumps(replace(spec, fitted_on={**spec.fitted_on, "prompt_digest": None})).encode("utf-8")


def _read(path: str, args: argparse.Namespace) -> Outcomes:
    fmt: OutcomeFormat | None = args.format
    return read_outcome_file(path, strong=args.strong, weak=args.weak, text_field=args.field, fmt=fmt)


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


class _Row:
    """One line of the report: a file (or the files pooled) and the three routers' APGR."""

    def __init__(self, name: str, prompts: int, fitted: float, rules: float, words: float) -> None:
        self.name, self.prompts, self.fitted, self.rules, self.words = name, prompts, fitted, rules, words

    @property
    def judged(self) -> bool:
        """Whether the file is large enough for its own figures to say something."""
        return self.prompts >= fitting.MIN_PROMPTS

    def as_json(self) -> dict[str, Any]:
        return {"prompts": self.prompts, "cv_apgr": self.fitted, "rules_apgr": self.rules, "words_apgr": self.words}


def _measure(sets: Sequence[Outcomes], scores: Sequence[float]) -> list[_Row]:
    rows = []
    rules, words = RulesRouter(), WordsRouter()
    at = 0
    parts: list[tuple[str, list[str], list[float], list[float], Sequence[float]]] = []
    for s in sets:
        parts.append((s.source, s.texts, s.strong, s.weak, scores[at:at + len(s.texts)]))
        at += len(s.texts)
    if len(sets) > 1:
        parts.append((f"pooled ({len(sets)} files)", [t for s in sets for t in s.texts],
                      [r for s in sets for r in s.strong], [r for s in sets for r in s.weak], scores))
    for name, texts, strong, weak, fitted in parts:
        if gap_sign(strong, weak) == 0:  # a pooled set whose files' gaps cancel out
            continue
        rows.append(_Row(name, len(texts), apgr(fitted, strong, weak), apgr(rules.score(texts), strong, weak),
                         apgr(words.score(texts), strong, weak)))
    return rows


def _warn_of_scales(prog: str, sets: Sequence[Outcomes]) -> None:
    """Results on different scales (right/wrong beside marks out of 10) let the larger scale
    decide what the model learns: said, not refused."""
    largest = [max(map(abs, [*s.strong, *s.weak])) for s in sets]
    if len(sets) > 1 and min(largest) > 0 and max(largest) > 2 * min(largest):
        output.message(f"{prog}: warning: the files' results are on different scales (up to "
                       f"{', '.join(f'{top:g}' for top in largest)}): the larger scale weighs more in the fit\n")


def _warn_of_repeats(prog: str, prompts: int, distinct: int) -> None:
    """Copies of a prompt (a file given twice, or through a link, or a prompt repeated in a
    file) are kept in one fold, so they cannot inflate the figures: said, with how many."""
    repeated = prompts - distinct
    if repeated:
        output.message(f"{prog}: warning: {repeated:,} of the {prompts:,} prompts repeat an earlier prompt's text "
                       f"exactly (a file given twice, or repeats within a file): each text's copies are kept in one "
                       f"fold, so that no copy is scored by a model fitted on its twin\n")


def _shares(args: argparse.Namespace, texts: Sequence[str]) -> tuple[Shares, str]:
    if args.shares is not None:
        return args.shares, "--shares"
    if args.strong_share is not None:
        rest = (1 - args.strong_share) / 2
        return (rest, rest, args.strong_share), "--strong-share"
    tiers = RulesRouter().score(list(texts))
    n = len(tiers)
    return (tiers.count(0.0) / n, tiers.count(1.0) / n, tiers.count(2.0) / n), "the default rules' tiers"


def _version(package: str) -> str | None:
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return None


def _fitted_on(args: argparse.Namespace, sets: Sequence[Outcomes], rows: Sequence[_Row], chosen: Shares,
               source: str, repeated: int) -> dict[str, Any]:
    by_name = {row.name: row for row in rows}
    pooled = by_name.get(f"pooled ({len(sets)} files)") if len(sets) > 1 else by_name.get(sets[0].source)
    return {
        "files": [{"name": "standard input" if s.source == "-" else os.path.basename(s.source),
                   **(by_name[s.source].as_json() if s.source in by_name else {"prompts": len(s.texts)})}
                  for s in sets],
        "strong": args.strong, "weak": args.weak, "field": args.field or "prompt",
        "prompts": sum(len(s.texts) for s in sets), "repeated_prompts": repeated, "folds": args.folds,
        "seed": args.seed,
        "cv_apgr": pooled.fitted if pooled else None,
        "rules_apgr": pooled.rules if pooled else None, "words_apgr": pooled.words if pooled else None,
        "shares": {"simple": chosen[0], "moderate": chosen[1], "complex": chosen[2], "from": source},
        "halvec": halvec.__version__,
        "libraries": {name: _version(name) for name in ("scikit-learn", "numpy", "scipy")},
    }


def _report(prog: str, args: argparse.Namespace, rows: Sequence[_Row], ngrams: Sequence[str],
            cuts: tuple[float, float], chosen: Shares, source: str, out_path: str) -> None:
    output.line(f"cross-validated APGR ({args.folds} folds, seed {args.seed}; random routing 0.500), "
                f"strong {output.escape(args.strong)}, weak {output.escape(args.weak)}:")
    names = [output.escape(row.name) for row in rows]
    width = max([len("file"), *map(len, names)])
    output.line(f"  {'file':<{width}}  {'prompts':>8}  {'fitted':>6}  {'rules':>6}  {'words':>6}")
    for name, row in zip(names, rows):
        note = "" if row.judged else "  (too few prompts to judge alone)"
        output.line(f"  {name:<{width}}  {row.prompts:>8,}  {row.fitted:>6.3f}  {row.rules:>6.3f}  "
                    f"{row.words:>6.3f}{note}")
    for name, row in zip(names, rows):
        if row.judged and row.fitted <= max(row.rules, row.words):
            output.message(f"{prog}: warning: on {name} the fitted router does not beat the "
                           f"{'default rules' if row.rules >= row.words else 'word count'}\n")
    output.line(f"wrote {output.escape(out_path)}: {len(ngrams):,} n-grams; cut points {cuts[0]:.4g} (moderate) "
                f"and {cuts[1]:.4g} (complex), placed for {100 * chosen[0]:.0f}% simple, {100 * chosen[1]:.0f}% "
                f"moderate, {100 * chosen[2]:.0f}% complex ({source})")


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
