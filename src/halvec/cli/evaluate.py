"""``halvec eval``: route a whole workload of tasks and report the tiers, models, deciding
rules and patterns, and cost; with ``--patterns FILE --compare``, what other pattern lists
would change.

Here: the options, the run's settings and files read from them, and one call of
:func:`halvec.evaluation.run_evaluation`, which reads the tasks (:mod:`halvec.workload`),
routes and counts them, in parts by several processes where it can. The report is written by
:mod:`halvec.cli.eval_report`: text, or one JSON document with ``--json``, whose keys are
stable (docs/cli.md lists them).
"""

from __future__ import annotations

import argparse
import gc
import sys
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from typing import IO

from halvec.cli import output
from halvec.cli.eval_report import KeySource, RunFacts, write_results
from halvec.cli.inputs import option_file
from halvec.cli.fitted_router import add_router_option, eval_choosing, eval_tiering, fitted_from_args
from halvec.cli.options import (Command, InputError, RouterOptions, UsageError, add_json_option, add_patterns_option,
                                add_router_options, model_choice, model_key, model_keys, model_names,
                                patterns_from_args, providers)
from halvec.cli.output_files import check_report_destination, output_file
from halvec.cli.progress import Progress
from halvec.cli.status import ExitStatus
from halvec.core import model_router as mr
from halvec.evaluation import (ESTIMATED_OUTPUT_TOKENS, Comparison, CostOverflow, Prices, ProviderKeys, Settings,
                               load_config, load_prices, run_evaluation, usable_cores)
from halvec.fitted.checks import Checks
from halvec.workload import EncodingErrors, Format, InputProblem, ReadOptions, Remedy, open_source

__all__ = ["COMMAND"]

HINTS: dict[Remedy, str] = {
    "field": "--field names the field that holds the description",
    "column": "--field names the column that holds the description",
    "encoding": "--encoding-errors replace reads it with U+FFFD in its place",
}
"""What a bad line's message adds, for a problem an option remedies."""


# --- options ---------------------------------------------------------------------------------

def _count(text: str) -> int:
    """A token count: a whole number, 0 or more."""
    if text.isascii() and text.isdigit():
        return int(text)
    raise argparse.ArgumentTypeError(f"not a count of tokens (a whole number, 0 or more): {text!r}")


def _delimiter(text: str) -> str:
    """One character between CSV cells; ``tab`` or ``\\t`` for a tab."""
    text = "\t" if text in ("tab", "\\t") else text
    if len(text) == 1 and text not in "\r\n\"":
        return text
    raise argparse.ArgumentTypeError(f"not one character to put between cells (tab for a tab): {text!r}")


def _jobs(text: str) -> int:
    """A number of processes: 1 or more."""
    if text.isascii() and text.isdigit() and 1 <= int(text) <= 64:
        return int(text)
    raise argparse.ArgumentTypeError(f"not a number of processes (1 to 64): {text!r}")


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    keys = ", ".join(model_keys())
    parser.add_argument("source", metavar="FILE",
                        help="the tasks: JSONL, a JSON array, CSV or TSV with a header, or text with one task "
                             "to a line, gzip-compressed or not; - reads standard input")
    parser.add_argument("--format", choices=("jsonl", "json", "csv", "tsv", "text"),
                        help="the input's format (default: by the file's name, .jsonl .ndjson .json .csv .tsv "
                             ".txt, with or without .gz; else by its first line that is not blank: a JSON array "
                             "when it starts with [, JSONL with {, text otherwise). gzip is recognised by its "
                             "first bytes")
    parser.add_argument("--field", metavar="NAME",
                        help='the JSON field or CSV column that holds the description, used exactly as given '
                             '(default: "description", or for a chat record, one with "messages", its last '
                             'user message)')
    parser.add_argument("--model-field", default="model", metavar="NAME",
                        help='the JSON field or CSV column that names the model a task requests (default: '
                             '"model"): a catalogue key, auto, or the provider\'s model id or LiteLLM\'s '
                             'provider/id for a catalogue model. A task that names another model is routed as one '
                             'that requests none, and counted in the report; --model-field "" reads no field')
    parser.add_argument("--delimiter", type=_delimiter, metavar="CHAR",
                        help="the character between cells: CSV (the default format with this option), or TSV "
                             "with tab (default: a comma, a tab for .tsv)")
    parser.add_argument("--model", type=model_choice, metavar="KEY",
                        help=f"the explicit model choice of tasks that make none themselves (a record's "
                             f"\"model\"): {keys}, or auto (the default)")
    parser.add_argument("--default", type=model_choice, metavar="KEY",
                        help=f"configured default model: {keys}, or auto")
    parser.add_argument("--scheduler", action="store_true",
                        help="select as for scheduled jobs (their own default) rather than workers")
    parser.add_argument("--cost-conscious", action="store_true", help="prefer cheaper models")
    add_router_options(parser, environment=False)
    parser.add_argument("--keys-from-env", action="store_true",
                        help="count the API keys the environment holds (ANTHROPIC_API_KEY, OPENAI_API_KEY), as "
                             "route does. Without --keys or this, every provider is taken to have a key: an "
                             "offline evaluation, the same on any machine")
    parser.add_argument("--config", metavar="FILE",
                        help="the preferences as their dictionary form, in JSON (enabled_models, "
                             "cost_conscious, default_worker_model, default_scheduler_model); the options "
                             "above override it")
    parser.add_argument("--input-tokens", type=_count, metavar="N",
                        help='input tokens of each task whose record gives no count ("input_tokens", '
                             '"prompt_tokens", or in "usage") (default: estimated from the description, or a chat '
                             'record\'s whole conversation: UTF-8 bytes / 4, rounded up)')
    parser.add_argument("--output-tokens", type=_count, metavar="M",
                        help=f'output tokens of each task whose record gives no count ("output_tokens", '
                             f'"completion_tokens", or in "usage") (default: {ESTIMATED_OUTPUT_TOKENS}, an '
                             f'estimate)')
    parser.add_argument("--baseline", type=model_key, metavar="KEY",
                        help=f"the model to state the saving against: {keys} (default: the one that "
                             f"would cost the most on its own)")
    parser.add_argument("--prices", metavar="FILE",
                        help="cost with the prices per 1,000 tokens of FILE instead of the catalogue's: TOML "
                             "(.toml) or JSON, a \"models\" table with \"input\" and \"output\" for every "
                             "model, and an optional \"as_of\" date")
    add_patterns_option(parser)
    add_router_option(parser)
    parser.add_argument("--compare", action="store_true",
                        help="with --patterns: route every task with the lists in force and with FILE's, "
                             "and report what changes; with --router: with the default rules and with the "
                             "fitted router")
    parser.add_argument("--out", metavar="FILE",
                        help="write one JSON line per task to FILE (with --compare: per task that changes); "
                             "a file is replaced only when the run succeeds, and never one of the run's inputs")
    parser.add_argument("--with-text", action="store_true",
                        help="with --out: each line carries the task's description too")
    parser.add_argument("--jobs", type=_jobs, metavar="N",
                        help=f"processes to evaluate a file with, a part of it each (default: one for each "
                             f"core this process may use, {usable_cores()} here; more are lowered to that); "
                             f"1 evaluates in this process alone. Standard input from a pipe, CSV, a JSON "
                             f"array, compressed input, --compare and --router use one")
    parser.add_argument("--skip-bad", action="store_true",
                        help="count and report bad lines and go on, instead of stopping at the first")
    parser.add_argument(
        "--encoding-errors", choices=("strict", "replace"), default="strict",
        help="what to do with text that is not valid UTF-8: strict refuses it (the default), "
             "replace goes on with U+FFFD in its place and says on how many lines")
    add_json_option(parser)


# --- the run's settings ----------------------------------------------------------------------

def _keys(args: argparse.Namespace) -> tuple[ProviderKeys, KeySource]:
    """The providers with an API key: those --keys names, and with --keys-from-env those the
    environment has a key for; with neither, every provider (an offline evaluation)."""
    given: list[str] | None = args.keys
    if args.keys_from_env:
        return (ProviderKeys.from_environment(given or ()),
                "environment" if given is None else "given_and_environment")
    if given is None:
        return ProviderKeys(frozenset(providers())), "assumed"
    return ProviderKeys(frozenset(given)), "given"


def _settings(args: argparse.Namespace, store: ProviderKeys) -> Settings:
    options = RouterOptions.from_args(args)
    config_path: str | None = args.config
    config = (option_file("--config", config_path, load_config) if config_path is not None
              else mr.ModelRoutingConfig())
    if options.enabled is not None:
        config.enabled_models = list(options.enabled)
    if options.cost_conscious:
        config.cost_conscious = True
    default: str | None = args.default
    scheduler = bool(args.scheduler)
    if default is not None:
        if scheduler:
            config.default_scheduler_model = default
        else:
            config.default_worker_model = default
    prices_path: str | None = args.prices
    prices: Prices | None = (option_file("--prices", prices_path, load_prices) if prices_path is not None
                             else None)
    return Settings(config=config, store=store, scheduler=scheduler, model=args.model,
                    input_tokens=args.input_tokens, output_tokens=args.output_tokens, baseline=args.baseline,
                    prices=prices, with_text=bool(args.with_text))


def _read_options(args: argparse.Namespace) -> ReadOptions:
    """How the tasks are read: one set of options for every reader of the run."""
    errors: EncodingErrors = "replace" if args.encoding_errors == "replace" else "strict"
    return ReadOptions(fmt=args.format, field=args.field, delimiter=args.delimiter, models=model_names(),
                       model_field=args.model_field or None,  # --model-field '': none is read
                       skip_bad=bool(args.skip_bad), encoding_errors=errors, hints=HINTS)


def _check(args: argparse.Namespace) -> None:
    """What argparse cannot see of the options' mistakes: which lists to compare."""
    if args.compare and args.patterns is None and args.router is None:
        raise UsageError("--compare needs --patterns FILE (the lists to compare with those in force) or "
                         "--router FILE (a fitted router to compare with the default rules)")
    if args.patterns is not None and args.router is not None:
        raise UsageError("--patterns changes the default rules, which --router replaces: give one of them")


def _check_reading(args: argparse.Namespace) -> None:
    """What argparse cannot see of the options' mistakes: how to read and write."""
    fmt: Format | None = args.format
    if fmt == "text" and args.field is not None:
        raise UsageError("--field names a JSONL field or a CSV column; text input has neither")
    if fmt in ("jsonl", "json", "text") and args.delimiter is not None:
        raise UsageError(f"--delimiter is the character between CSV cells; --format {fmt} has none")
    if args.out == "-":
        raise UsageError("--out needs a file: the report goes to standard output")
    if args.with_text and args.out is None:
        raise UsageError("--with-text needs --out FILE: it adds the descriptions to the per-task lines")


# --- the run ---------------------------------------------------------------------------------

@contextmanager
def _rare_collections() -> Iterator[None]:
    """A batch keeps a thousand records and their tuples alive at once, so the collector's
    youngest generation fills, and is traversed, for every batch, though an evaluation makes
    no reference cycles. For the run it is let grow larger (collections still happen: garbage
    that does form cycles is still found)."""
    thresholds = gc.get_threshold()
    gc.set_threshold(max(thresholds[0], 100_000), *thresholds[1:])
    try:
        yield
    finally:
        gc.set_threshold(*thresholds)


def _run(args: argparse.Namespace) -> int:
    parser: argparse.ArgumentParser = args.parser
    source: str = args.source
    out_path: str | None = args.out
    _check(args)
    fitted = fitted_from_args(args, models=True)
    tiering, coverage = (None, None) if fitted is None else (eval_tiering if fitted.version == 1
                                                             else eval_choosing)(fitted)
    _check_reading(args)
    store, key_source = _keys(args)
    settings = _settings(args, store)
    lists = patterns_from_args(args)
    jobs: int | None = args.jobs
    if jobs is not None and jobs > (cores := usable_cores()):
        output.message(f"{parser.prog}: note: --jobs {jobs} lowered to {cores}, the cores this process may use\n")
        jobs = cores
    options = _read_options(args)
    progress = Progress()
    with ExitStack() as stack:
        try:
            stream, where, size = open_source(source)
        except OSError as error:
            raise InputError(f"cannot read {source!r}: {error.strerror or error}") from None
        if source != "-":
            stack.enter_context(stream)
        out: IO[bytes] | None = None
        inputs = [(f"the input {where}" if source != "-" else "standard input", stream),
                  *((f"{option} {path!r}", path) for option, path in (("--patterns", args.patterns),
                                                                       ("--router", args.router),
                                                                       ("--config", args.config),
                                                                       ("--prices", args.prices),
                                                                       ("--catalogue", getattr(args, "catalogue", None)))
                    if path is not None)]
        check_report_destination(inputs)
        if out_path is not None:
            out = stack.enter_context(output_file(out_path, inputs=inputs))
        if sys.stdout is None:  # closed (>&-): said now, not once the whole workload is read
            raise output.OutputError("cannot write to standard output: it is closed")
        stack.callback(progress.close)
        stack.enter_context(_rare_collections())
        try:
            result = run_evaluation(stream, settings, options, where=where, name=source, size=size, patterns=lists,
                                    tiering=tiering, compare_sides=bool(args.compare), out=out, progress=progress,
                                    jobs=jobs)
            if out is not None:
                out.flush()
        except InputProblem as problem:
            raise InputError(str(problem)) from None
        except CostOverflow as error:
            raise InputError(f"{where}: {error}") from None
        except OverflowError as error:  # a cost of more tokens than a float can count
            raise InputError(f"{where}: the token counts are too large to cost ({error})") from None
        except OSError as error:
            if out is None:
                raise
            raise output.OutputError(f"cannot write --out {out_path!r}: {error.strerror or error}") from None
        # the report is written before the --out file takes the earlier one's place: a run
        # that cannot write it (a closed pipe, a full disk) leaves the earlier file as it was
        progress.close()
        checks = None
        if fitted is not None and coverage is not None:
            checks = Checks.on_workload(fitted.name, fitted.provenance, coverage.summary(),
                                        (result.after if isinstance(result, Comparison) else result.summary).tiers)
        write_results(args, result, RunFacts(settings, store, key_source, checks, args.router))
        output.flush()
    return ExitStatus.OK


COMMAND = Command(
    name="eval",
    help="route a whole workload of tasks and report tiers, models, rules, patterns and cost",
    description="Route every task of FILE (JSONL, CSV or text; - for standard input) as the router would, "
                "and report the tasks per tier and model, the selection stage that chose each model, the tier "
                "rule that set each tier (the length, which pattern, or the word and tool counts), and the "
                "cost, ranked against each model alone; with --patterns FILE --compare, what another pair of "
                "pattern lists would change. Without --keys or --keys-from-env every provider is taken to "
                "have an API key. Token counts a record lacks are estimated, and said so. Bad input stops "
                "the run with one line that names the line, unless --skip-bad.",
    add_arguments=_add_arguments,
    run=_run,
)
