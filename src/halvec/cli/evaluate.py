"""``halvec eval``: route a whole workload of tasks and report the tiers, models, deciding
rules and patterns, and cost; with ``--patterns FILE --compare``, what other pattern lists
would change.

The tasks are streamed from a JSONL, CSV or text file (or standard input), a block at a
time, so memory stays flat whatever the input's size; :mod:`halvec.workload` reads them and
:mod:`halvec.evaluation` routes and counts them. The report is text, or one JSON document
with ``--json``, whose keys are stable (docs/cli.md lists them).
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
from collections.abc import Iterator, Mapping
from contextlib import ExitStack, contextmanager, nullcontext
from dataclasses import dataclass
from typing import IO, Any, Literal, NotRequired, TypedDict

from halvec._json_keys import DuplicateKey, line_of_repeat, without_duplicates
from halvec.cli import output
from halvec.cli.output_files import check_report_destination, output_file
from halvec.cli.options import (AUTO, Command, InputError, RouterOptions, UsageError, add_json_option,
                                add_patterns_option, add_router_options, model_choice, model_key,
                                model_keys, model_names, near_miss, patterns_from_args, providers,
                                read_option_file)
from halvec.cli.prices import load_prices
from halvec.cli.progress import Progress
from halvec.cli.status import ExitStatus
from halvec.core import model_router as mr
from halvec.cli.fitted_notes import note, warn
from halvec.cli.fitted_router import add_router_option, eval_tiering, fitted_from_args as _fitted
from halvec.evaluation import (ESTIMATED_OUTPUT_TOKENS, TIERS, Comparison, Cost, CostOverflow, Prices, ProviderKeys,
                               Reading,
                               Report, Settings, Summary, TaskRule, change_json, compare, evaluate)
from halvec.explain import DecidedBy
from halvec.fitted.checks import Checks, FittedRouterJSON
from halvec.parallel import evaluate_in_parts, usable_cores
from halvec.pattern_lists import LIST_NAMES, applied, in_force
from halvec.workload import EncodingErrors, Format, InputProblem, TaskReader, fast_json, open_source

__all__ = ["COMMAND", "ComparisonJSON", "CostJSON", "EvalJSON", "KeySource", "SummaryJSON", "load_config"]

_CONFIG_KEYS = ("enabled_models", "cost_conscious", "default_worker_model", "default_scheduler_model")
_OPTIONS = {"field": "--field", "encoding_errors": "--encoding-errors"}
"""How messages name what mends a bad line."""


# --- JSON: the documented, stable keys -------------------------------------------------------

class BadLineJSON(TypedDict):
    line: int
    problem: str


class ModelNameJSON(TypedDict):
    name: str
    tasks: int


class OutsideCatalogueJSON(TypedDict):
    tasks: int
    """The tasks that named a model outside the catalogue (routed as tasks that request none)."""
    names: list[ModelNameJSON]
    """The names, most frequent first (the first 1,000 different names met are counted)."""


class InputJSON(TypedDict):
    source: str
    format: str
    field: str | None
    chat_tasks: int
    """Tasks whose description is a chat record's last user message, not ``field``."""
    model_field: str | None
    models_outside_catalogue: OutsideCatalogueJSON
    blank_lines: int
    bad_lines: int
    first_bad_lines: list[BadLineJSON]
    replaced_lines: int


class PatternJSON(TypedDict):
    index: int
    pattern: str
    tasks: int


class NeverDecidedJSON(TypedDict):
    list: str
    index: int
    pattern: str


KeySource = Literal["assumed", "given", "environment", "given_and_environment"]
"""Where the run's API keys come from: none given (every provider assumed to have one),
``--keys``, ``--keys-from-env``, or both."""


class KeysJSON(TypedDict):
    source: KeySource
    providers: list[str]
    """The providers with a key, in catalogue order."""


class PriceJSON(TypedDict):
    input: float
    output: float


class PricesJSON(TypedDict):
    source: Literal["catalogue", "file"]
    file: str | None
    as_of: str | None
    per_1k: dict[str, PriceJSON]


class BaselineJSON(TypedDict):
    model: str
    basis: Literal["given", "most_expensive"]
    cost: float
    saving: float
    saving_share: float | None


class RankJSON(TypedDict):
    name: str
    """``"routed"``, or a model key: that model alone."""
    cost: float


class CostJSON(TypedDict):
    costed_tasks: int
    uncosted_tasks: int
    input_tokens: int
    output_tokens: int
    estimated_tasks: int
    estimated_input_tasks: int
    estimated_output_tasks: int
    output_tokens_each: int
    routed: float
    alone: dict[str, float]
    ranking: list[RankJSON]
    cheaper_alone: list[str]
    baseline: BaselineJSON


class SummaryJSON(TypedDict):
    tiers: dict[str, int]
    models: dict[str, int]
    decided_by: dict[DecidedBy, int]
    requests_not_honoured: int
    rules: dict[TaskRule, int]
    """By rule; ``"fitted"`` only when a fitted router tiered the tasks (``--router``)."""
    counts_share: float | None
    """Null where a fitted router tiered the tasks: the counts did not run."""
    patterns: dict[str, list[PatternJSON]]
    never_decided: list[NeverDecidedJSON] | None
    """Null where a fitted router tiered the tasks: the patterns did not run."""
    unspaced_tasks: dict[str, int]
    cost: CostJSON | None


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
    """As :func:`halvec.evaluation.change_json` gives them, descriptions included."""


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


def load_config(path: str) -> mr.ModelRoutingConfig:
    """The preferences in a JSON file of their dictionary form, checked: an object with
    only the four keys, each with a value of its kind; model keys exactly as the catalogue
    spells them. Raises :class:`InputError` naming the file (and the line, for bad JSON)."""
    where = f"--config {path!r}"
    text = read_option_file(where, path)
    try:
        document = json.loads(text, object_pairs_hook=without_duplicates)
    except json.JSONDecodeError as error:
        raise InputError(f"{where}, line {error.lineno}: not JSON: {error.msg} (column {error.colno})") from None
    except DuplicateKey as duplicate:
        line = line_of_repeat(text, duplicate.key)
        raise InputError(f"{where}{'' if line is None else f', line {line}'}: the key {duplicate.key!r} is given "
                         f"twice (a JSON object's keys are given once)") from None
    except RecursionError:
        raise InputError(f"{where}: not JSON: nested too deeply") from None
    except ValueError as error:  # a number too long to convert
        raise InputError(f"{where}: not JSON: {error}") from None
    form = "the preferences' dictionary form"
    if not isinstance(document, dict):
        raise InputError(f"{where}: not {form}: a JSON object with the keys {', '.join(_CONFIG_KEYS)}")
    unknown = [key for key in document if key not in _CONFIG_KEYS]
    if unknown:
        hints = [hint for key in unknown if (hint := near_miss(key, _CONFIG_KEYS)) is not None]
        raise InputError(f"{where}: not {form}: unknown key{'s' if len(unknown) > 1 else ''} "
                         f"{', '.join(map(repr, unknown))} (the keys are {', '.join(_CONFIG_KEYS)})"
                         + (f"; did you mean {hints[0]!r}?" if len(unknown) == 1 and hints else ""))
    valid = model_keys()

    def check_key(name: str, value: object, *, auto: bool) -> None:
        if isinstance(value, str) and (value in valid or (auto and value == AUTO)):
            return
        choices = ", ".join(valid) + (", or auto" if auto else "")
        if not isinstance(value, str):
            raise InputError(f"{where}: {name!r} holds {json.dumps(value)[:60]}, not a model key ({choices})")
        hint = near_miss(value, [*valid, *([AUTO] if auto else [])])
        raise InputError(f"{where}: {name!r} holds the unknown model key {value!r} (choose from {choices})"
                         + (f"; did you mean {hint!r}?" if hint is not None else ""))

    if "enabled_models" in document:
        enabled = document["enabled_models"]
        if not isinstance(enabled, list):
            raise InputError(f"{where}: 'enabled_models' must be a list of model keys")
        for key in enabled:
            check_key("enabled_models", key, auto=False)
    if "cost_conscious" in document and not isinstance(document["cost_conscious"], bool):
        raise InputError(f"{where}: 'cost_conscious' must be true or false")
    for name in ("default_worker_model", "default_scheduler_model"):
        if name in document:
            check_key(name, document[name], auto=True)
    return mr.ModelRoutingConfig.from_dict(document)


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
    config = load_config(config_path) if config_path is not None else mr.ModelRoutingConfig()
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
    return Settings(config=config, store=store, scheduler=scheduler, model=args.model,
                    input_tokens=args.input_tokens, output_tokens=args.output_tokens, baseline=args.baseline,
                    prices=load_prices(prices_path) if prices_path is not None else None,
                    with_text=bool(args.with_text))


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
    fmt: Format | None = args.format
    if args.compare and args.patterns is None and args.router is None:
        raise UsageError("--compare needs --patterns FILE (the lists to compare with those in force) or "
                         "--router FILE (a fitted router to compare with the default rules)")
    if args.patterns is not None and args.router is not None:
        raise UsageError("--patterns changes the default rules, which --router replaces: give one of them")
    fitted = _fitted(args)
    tiering, coverage = eval_tiering(fitted) if fitted is not None else (None, None)
    if fmt == "text" and args.field is not None:
        raise UsageError("--field names a JSONL field or a CSV column; text input has neither")
    if fmt in ("jsonl", "json", "text") and args.delimiter is not None:
        raise UsageError(f"--delimiter is the character between CSV cells; --format {fmt} has none")
    if out_path == "-":
        raise UsageError("--out needs a file: the report goes to standard output")
    if args.with_text and out_path is None:
        raise UsageError("--with-text needs --out FILE: it adds the descriptions to the per-task lines")
    store, key_source = _keys(args)
    settings = _settings(args, store)
    lists = patterns_from_args(args)
    jobs: int | None = args.jobs
    if jobs is not None and jobs > (cores := usable_cores()):
        output.message(f"{parser.prog}: note: --jobs {jobs} lowered to {cores}, the cores this process may use\n")
        jobs = cores
    progress = Progress()
    model_field: str | None = args.model_field or None  # --model-field '': none is read
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
                                                                       ("--prices", args.prices))
                    if path is not None)]
        check_report_destination(inputs)
        if out_path is not None:
            out = stack.enter_context(output_file(out_path, inputs=inputs))
        if sys.stdout is None:  # closed (>&-): said now, not once the whole workload is read
            raise output.OutputError("cannot write to standard output: it is closed")
        stack.callback(progress.close)
        stack.enter_context(_rare_collections())
        try:
            field: str | None = args.field
            skip_bad = bool(args.skip_bad)
            errors: EncodingErrors = "replace" if args.encoding_errors == "replace" else "strict"
            names = model_names()
            if tiering is not None:  # tiered by a fitted router: read in this process
                reader = TaskReader(stream, where, name=source, fmt=fmt, field=field, delimiter=args.delimiter,
                                    models=names, model_field=model_field, skip_bad=skip_bad,
                                    encoding_errors=errors, size=size, setting_names=_OPTIONS)
                result: Report | Comparison = (
                    compare(reader, settings, in_force(), out=out, progress=progress, tiering=tiering)
                    if args.compare else evaluate(reader, settings, out=out, progress=progress, tiering=tiering))
            elif args.compare and lists is not None:
                reader = TaskReader(stream, where, name=source, fmt=fmt, field=field, delimiter=args.delimiter,
                                    models=names, model_field=model_field, skip_bad=skip_bad,
                                    encoding_errors=errors, size=size, setting_names=_OPTIONS)
                result = compare(reader, settings, lists, out=out, progress=progress)
            else:
                with applied(lists) if lists is not None else nullcontext():
                    result = evaluate_in_parts(stream, settings, name=source, where=where, size=size, fmt=fmt,
                                               field=field, delimiter=args.delimiter, models=names,
                                               model_field=model_field, skip_bad=skip_bad,
                                               encoding_errors=errors, setting_names=_OPTIONS, out=out,
                                               progress=progress, jobs=jobs)
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
        _write_results(args, result, _Run(settings, store, key_source, model_field, checks, args.router))
        output.flush()
    return ExitStatus.OK


def _write_results(args: argparse.Namespace, result: Report | Comparison, run: _Run) -> None:
    """The warnings on standard error, then the report."""
    parser: argparse.ArgumentParser = args.parser
    if result.reading.replaced_lines:
        lines = result.reading.replaced_lines
        source = "standard input" if result.reading.source == "-" else repr(result.reading.source)
        output.message(f"{parser.prog}: warning: {output.escape(source, backslash=False)}: "
                       f"replaced what is not valid UTF-8 with U+FFFD on {lines:,} line{'s' if lines != 1 else ''} "
                       f"(the first on line {result.reading.first_replaced_line})\n")
    if result.reading.bad_lines:
        bad = result.reading.bad_lines
        output.message(f"{parser.prog}: warning: skipped {bad:,} bad line{'s' if bad != 1 else ''}"
                       f" (the first: line {result.reading.first_bad_lines[0].line}: "
                       f"{output.escape(result.reading.first_bad_lines[0].problem, backslash=False)})\n")
    if run.fitted is not None:
        for warning in run.fitted.warnings(result.reading.source):
            warn(parser.prog, warning)
    if isinstance(result, Comparison):
        after = args.patterns if args.router is None else args.router
        assert after is not None
        if args.json:
            output.json_document(_comparison_json(result, run, after, router=args.router is not None))
        else:
            _write_comparison(result, run, after, args.out, router=args.router is not None)
    elif args.json:
        output.json_document(_report_json(result, run))
    else:
        _write_report(result, run)


@dataclass(frozen=True)
class _Run:
    """What the report says of the run besides its results."""

    settings: Settings
    keys: ProviderKeys
    key_source: KeySource
    model_field: str | None
    """The field or column read for a task's model (None: none)."""
    fitted: Checks | None = None
    """With ``--router``: the fitted router's checks on the tasks."""
    router: str | None = None

    @property
    def prices(self) -> Prices:
        return self.settings.prices or Prices.catalogue()


# --- JSON ------------------------------------------------------------------------------------

def _input_json(report: Report | Comparison, model_field: str | None) -> InputJSON:
    reading = report.reading
    text = reading.format == "text"
    return {"source": reading.source, "format": reading.format,
            "field": reading.field if not text else None, "chat_tasks": reading.chat_tasks,
            "model_field": model_field if not text else None,
            "models_outside_catalogue": {
                "tasks": reading.outside_catalogue_tasks,
                "names": [{"name": name, "tasks": n} for name, n in reading.outside_catalogue]},
            "blank_lines": reading.blank_lines, "bad_lines": reading.bad_lines,
            "first_bad_lines": [{"line": bad.line, "problem": bad.problem} for bad in reading.first_bad_lines],
            "replaced_lines": reading.replaced_lines}


def _keys_json(run: _Run) -> KeysJSON:
    return {"source": run.key_source, "providers": [p for p in providers() if run.keys.has_key(p)]}


def _prices_json(prices: Prices) -> PricesJSON:
    return {"source": "catalogue" if prices.source is None else "file", "file": prices.source,
            "as_of": prices.as_of,
            "per_1k": {key: {"input": price_in, "output": price_out}
                       for key, (price_in, price_out) in prices.per_1k.items()}}


def _cost_json(cost: Cost | None) -> CostJSON | None:
    if cost is None:
        return None
    return {"costed_tasks": cost.costed_tasks, "uncosted_tasks": cost.uncosted_tasks,
            "input_tokens": cost.input_tokens, "output_tokens": cost.output_tokens,
            "estimated_tasks": cost.estimated_tasks, "estimated_input_tasks": cost.estimated_input_tasks,
            "estimated_output_tasks": cost.estimated_output_tasks, "output_tokens_each": cost.output_tokens_each,
            "routed": cost.routed, "alone": dict(cost.alone),
            "ranking": [{"name": name, "cost": amount} for name, amount in cost.ranking],
            "cheaper_alone": list(cost.cheaper_alone),
            "baseline": {"model": cost.baseline, "basis": cost.baseline_basis, "cost": cost.baseline_cost,
                         "saving": cost.saving, "saving_share": cost.saving_share}}


def _fitted_json(run: _Run) -> FittedRouterJSON | None:
    return run.fitted.as_json(run.router) if run.fitted is not None and run.router is not None else None


def _summary_json(summary: Summary, *, fitted: bool = False) -> SummaryJSON:
    patterns: dict[str, list[PatternJSON]] = {name: [] for name in LIST_NAMES}
    for entry in summary.patterns:
        patterns[entry.list].append({"index": entry.index, "pattern": entry.pattern, "tasks": entry.tasks})
    return {"tiers": dict(summary.tiers), "models": dict(summary.models), "decided_by": dict(summary.decided_by),
            "requests_not_honoured": summary.requests_not_honoured, "rules": _rules(summary),
            "counts_share": None if fitted else summary.counts_share, "patterns": patterns,
            "never_decided": None if fitted else [{"list": p.list, "index": p.index, "pattern": p.pattern}
                                                  for p in summary.never_decided],
            "unspaced_tasks": dict(summary.unspaced),
            "cost": _cost_json(summary.cost)}


def _report_json(report: Report, run: _Run) -> EvalJSON:
    summary = _summary_json(report.summary, fitted=run.fitted is not None)
    return {"tasks": report.summary.tasks, "input": _input_json(report, run.model_field),
            "selection_for": "scheduler" if run.settings.scheduler else "worker",
            "keys": _keys_json(run), "prices": _prices_json(run.prices), **summary, "fitted_router": _fitted_json(run)}


def _comparison_json(comparison: Comparison, run: _Run, after: str, *, router: bool = False) -> ComparisonJSON:
    document: ComparisonJSON = {
        "tasks": comparison.before.tasks, "input": _input_json(comparison, run.model_field),
        "selection_for": "scheduler" if run.settings.scheduler else "worker",
        "keys": _keys_json(run), "prices": _prices_json(run.prices), "patterns": None if router else after,
        "before": _summary_json(comparison.before), "after": _summary_json(comparison.after, fitted=router),
        "transitions": {tier: dict(row) for tier, row in comparison.transitions.items()},
        "changed": comparison.changed, "changes": [change_json(change) for change in comparison.changes]}
    if router:
        document["router"] = after
        fitted = _fitted_json(run)
        if fitted is not None:
            document["fitted_router"] = fitted
    return document


# --- text ------------------------------------------------------------------------------------
#
# Two terms, never mixed: the "selection stage" is how the router chose the model (explicit
# choice, configured default, auto, fallback, last resort; "decided_by" in JSON), and the
# "tier rule" is what set the task's tier (the length, a pattern, the counts; "rule" and
# "pattern" in JSON). Patterns are numbered from 0 everywhere, as the lists index them.

_BAR_WIDTH = 30


def _bar_character() -> str:
    """A full block where standard output can show one, else ``#``."""
    encoding = getattr(sys.stdout, "encoding", None) or "ascii"
    try:
        "\u2588".encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return "#"
    return "\u2588"


def _share(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "-"


def _money(amount: float, *, sign: bool = False) -> str:
    """An amount of money, always to four places (a cent's hundredth: a small workload's
    figures stay visible)."""
    return f"{amount:+,.4f}" if sign else f"{amount:,.4f}"


def _right_aligned(cells: list[str]) -> list[str]:
    width = max(map(len, cells), default=0)
    return [cell.rjust(width) for cell in cells]


def _tokens(count: int) -> str:
    for scale, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if count >= scale:
            return f"{count / scale:.1f}{unit}"
    return str(count)


def _plural(n: int, word: str) -> str:
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def _rules(summary: Summary) -> dict[TaskRule, int]:
    """The tasks by tier rule; a fitted router's only where it tiered some."""
    return {rule: n for rule, n in summary.rules.items() if rule != "fitted" or n}


def _counts_table(title: str, counts: Mapping[str, int] | Mapping[TaskRule, int], total: int, *,
                  bars: bool) -> str:
    character = _bar_character()
    most = max(counts.values(), default=0)
    rows = []
    for name, n in counts.items():
        bar = character * round(_BAR_WIDTH * n / most) if bars and most else ""
        rows.append((name.replace("_", " "), f"{n:,}", _share(n, total), bar))
    return output.table((title, "tasks", "share", ""), rows)


def _shorten(text: str, width: int) -> str:
    """``text`` cut to about ``width`` characters (the table escapes what it shows)."""
    return text if len(text) <= width else text[:width - 3] + "..."


def _source_line(report: Report | Comparison, settings: Settings, tasks: int) -> str:
    reading = report.reading
    what = reading.format.upper() if reading.format != "text" else "text"
    if reading.format != "text":
        kind = "field" if reading.format in ("jsonl", "json") else "column"
        named = f"{kind} {json.dumps(reading.field, ensure_ascii=False)}"
        chats = reading.chat_tasks
        if not chats:
            what += f", {named}"
        elif chats == tasks:
            what += f", {_CHAT_TEXT}"
        else:
            what += f", {named}; {_plural(chats, 'chat record')}: {_CHAT_TEXT}"
    selection = "scheduled jobs" if settings.scheduler else "workers"
    source = "standard input" if reading.source == "-" else repr(reading.source)
    return f"tasks: {tasks:,} from {output.escape(source, backslash=False)} ({what}), selected as for {selection}"


_CHAT_TEXT = "messages (last user message)"
"""Where a chat record's description comes from, as the report says it."""


def _keys_line(run: _Run) -> str:
    if run.key_source == "assumed":
        return (f"keys: none given, so every provider ({', '.join(providers())}) is taken to have an API key: "
                f"an offline evaluation (--keys PROVIDER,... or --keys-from-env make availability real)")
    having = [p for p in providers() if run.keys.has_key(p)]
    where = {"given": "--keys", "environment": "the environment",
             "given_and_environment": "--keys and the environment"}[run.key_source]
    return f"keys: {', '.join(having) or 'none'} (from {where})"


def _last_resort_lines(summary: Summary) -> list[str]:
    """The plain warning, before any figure, when most tasks got a model that cannot run."""
    fallen, total = summary.decided_by["last_resort"], summary.tasks
    if 2 * fallen <= total:
        return []
    return [f"WARNING: {fallen:,} of {total:,} tasks ({_share(fallen, total)}) fell to the router's last resort: "
            f"no model is usable for them (see --keys and --enabled). Claude Sonnet is named for them but cannot "
            f"run as configured, so the costs and savings below describe no real routing."]


def _prices_line(prices: Prices) -> str:
    if prices.source is None:
        return ("prices: the catalogue's, per 1,000 tokens: the module's fixed defaults, which may be out of date "
                "(--prices FILE costs with yours)")
    as_of = f"as of {prices.as_of}" if prices.as_of is not None else "no as-of date"
    return f"prices: from --prices {output.escape(repr(prices.source), backslash=False)} ({as_of}), per 1,000 tokens"


def _estimate_line(cost: Cost | None, reading: Reading) -> list[str]:
    if cost is None or not cost.estimated_tasks:
        return []
    parts = []
    if cost.estimated_input_tasks:
        source = ("the description, or for a chat record its whole conversation (UTF-8 bytes / 4, rounded up)"
                  if reading.chat_tasks else "the description (its UTF-8 bytes / 4, rounded up)")
        parts.append(f"input tokens of {_plural(cost.estimated_input_tasks, 'task')} from {source}")
    if cost.estimated_output_tasks:
        parts.append(f"output tokens of {_plural(cost.estimated_output_tasks, 'task')} taken as "
                     f"{cost.output_tokens_each:,} each (--output-tokens M sets it)")
    return [f"estimated, as the records give no count: {'; '.join(parts)}"]


def _reading_lines(report: Report | Comparison) -> list[str]:
    reading = report.reading
    lines = []
    if reading.blank_lines:
        lines.append(f"blank lines: {reading.blank_lines:,} (no task)")
    if reading.replaced_lines:
        lines.append(f"lines read with U+FFFD for what is not UTF-8: {reading.replaced_lines:,}")
    if reading.bad_lines:
        kept = reading.first_bad_lines
        shown = f" (the first {len(kept)}:)" if reading.bad_lines > len(kept) else ":"
        lines.append(f"bad lines skipped: {reading.bad_lines:,}{shown}")
        for bad in kept:
            lines.append(f"  line {bad.line}: {output.escape(bad.problem, backslash=False)}")
        if reading.bad_lines > len(kept):
            lines.append(f"  and {reading.bad_lines - len(kept):,} more")
    if reading.outside_catalogue_tasks:
        lines.append(_outside_line(reading))
    return lines


_NAMES_SHOWN = 5


def _outside_line(reading: Reading) -> str:
    """The tasks that named models outside the catalogue, and the most frequent names (with
    a hint for one spelt as a catalogue name is, but for letter case and punctuation: another
    near miss, such as claude-opus-4-5, is as likely another model)."""
    names = reading.outside_catalogue
    shown = []
    for name, n in names[:_NAMES_SHOWN]:
        near = near_miss(name, [*model_names(), AUTO])
        hint = near is not None and _letters(near) == _letters(name)
        shown.append(f"{output.escape(name)} {n:,}" + (f" (did you mean {near!r}?)" if hint else ""))
    more = reading.outside_catalogue_tasks - sum(n for _, n in names[:_NAMES_SHOWN])
    if more:
        shown.append(f"others {more:,}")
    tasks = reading.outside_catalogue_tasks
    return (f"note: {_plural(tasks, 'task')} named {'a model' if tasks == 1 else 'models'} outside the catalogue "
            f"and {'was' if tasks == 1 else 'were'} routed as requesting none: {', '.join(shown)}")


def _letters(text: str) -> str:
    return "".join(c for c in text.casefold() if c.isalnum())


def _head(report: Report | Comparison, run: _Run, summary: Summary) -> list[str]:
    """The report's first lines: what was read, with which keys and prices, what was estimated."""
    return [_source_line(report, run.settings, summary.tasks), _keys_line(run), *_last_resort_lines(summary),
            _prices_line(run.prices), *_estimate_line(summary.cost, report.reading), *_reading_lines(report)]


def _stage_lines(summary: Summary) -> list[str]:
    stages = ", ".join(f"{name.replace('_', ' ')} {n:,}" for name, n in summary.decided_by.items())
    lines = [f"selection stage: {stages}"]
    if summary.requests_not_honoured:
        lines.append(f"note: {summary.requests_not_honoured:,} tasks asked for a model that is not usable "
                     f"(not enabled, or no API key) and were routed another way")
    if summary.decided_by["fallback"]:
        lines.append(f"note: {summary.decided_by['fallback']:,} tasks fell back to the first usable enabled "
                     f"model: no model the router prefers for their tier is usable")
    if summary.decided_by["last_resort"]:
        lines.append(f"note: {summary.decided_by['last_resort']:,} tasks got the last resort: no model is "
                     f"usable (see --keys and --enabled), so Claude Sonnet is named but cannot run")
    return lines


def _rule_lines(summary: Summary) -> list[str]:
    lines = _counts_table("tier rule", _rules(summary), summary.tasks, bars=False).splitlines()
    share = summary.counts_share
    if not summary.rules["fitted"]:  # a fitted router reads no counts
        lines.append(f"tier set by the word and tool counts alone: "
                     f"{'-' if share is None else f'{100 * share:.1f}%'}")
    unspaced = sum(summary.unspaced.values())
    if unspaced:
        lines.append(f"note: {_plural(unspaced, 'task')} ({_share(unspaced, summary.tasks)}) "
                     f"{'is' if unspaced == 1 else 'are'} written mostly in a script without spaces between words "
                     f"(Chinese, Japanese, Thai and the like). The classifier counts words by white space, so it "
                     f"sees such a task as a few words: {summary.unspaced['simple']:,} of "
                     f"{'it' if unspaced == 1 else 'them'} {'is' if summary.unspaced['simple'] == 1 else 'are'} "
                     f"simple")
    return lines


def _pattern_name(pattern_list: str, index: int) -> str:
    return f"{pattern_list} {index}"


def _pattern_lines(summary: Summary) -> list[str]:
    # A pattern's backslashes are its own escapes: shown single, as in the patterns file.
    rows = [(_pattern_name(entry.list, entry.index),
             output.Escaped(output.escape(_shorten(entry.pattern, 60), backslash=False)),
             f"{entry.tasks:,}", _share(entry.tasks, summary.tasks)) for entry in summary.patterns]
    lines = [output.table(("pattern", "(numbered from 0)", "tasks", "share"), rows)]
    never = summary.never_decided
    if never:
        lines.append(f"never set a tier: {', '.join(_pattern_name(p.list, p.index) for p in never)}")
    return lines


def _cost_lines(summary: Summary, run: _Run) -> list[str]:
    cost = summary.cost
    if cost is None:
        return ["cost: no tasks"]
    prices = "the catalogue's prices" if cost.prices.source is None else "the prices of --prices"
    estimated = f", {_plural(cost.estimated_tasks, 'task')} estimated" if cost.estimated_tasks else ""
    lines = [f"cost at {prices} per 1,000 tokens, for {_plural(cost.costed_tasks, 'task')} "
             f"({_tokens(cost.input_tokens)} input and {_tokens(cost.output_tokens)} output tokens{estimated}), "
             f"cheapest first:"]
    names = [("routed" if name == "routed" else f"{name} alone") for name, _ in cost.ranking]
    amounts = _right_aligned([_money(amount) for _, amount in cost.ranking])
    rows = [(f"{rank}", name, amount) for rank, (name, amount) in enumerate(zip(names, amounts), 1)]
    lines += ["  " + line for line in output.table(("rank", "routing or model", "cost"), rows).splitlines()]
    if cost.cheaper_alone:
        cheaper = ", ".join(f"{key} ({_money(cost.alone[key])})" for key in cost.cheaper_alone)
        lines.append(f"note: {'this model' if len(cost.cheaper_alone) == 1 else 'these models'} alone cost"
                     f"{'s' if len(cost.cheaper_alone) == 1 else ''} less than the routing ({_money(cost.routed)}): "
                     f"{cheaper}")
    why = "--baseline" if cost.baseline_basis == "given" else "the most expensive model alone"
    share = f" ({100 * cost.saving_share:.1f}%)" if cost.saving_share is not None else ""
    more = "; the routing costs more" if cost.saving < 0 else ""
    lines.append(f"saving against {cost.baseline} alone ({why}): {_money(cost.saving)}{share}{more}. "
                 f"Cost only: quality is not measured here; halvec bench measures it.")
    return lines


def _write_report(report: Report, run: _Run) -> None:
    summary = report.summary
    total = summary.tasks
    blocks: list[list[str]] = [_head(report, run, summary)]
    if not fast_json() and report.reading.format == "jsonl" and total >= 1_000_000:
        blocks[0].append("(install orjson, pip install 'halvec[fast]', to read JSON lines faster)")
    blocks.append([_counts_table("tier", summary.tiers, total, bars=True)])
    blocks.append([_counts_table("model", summary.models, total, bars=True), *_stage_lines(summary)])
    blocks.append(_rule_lines(summary))
    if run.fitted is not None:
        blocks.append([output.escape(f"fitted router {note(run.fitted)}", backslash=False)])
    if not summary.rules["fitted"]:  # a fitted router reads no patterns
        blocks.append(_pattern_lines(summary))
    blocks.append(_cost_lines(summary, run))
    output.line("\n\n".join("\n".join(block) for block in blocks))


def _write_comparison(comparison: Comparison, run: _Run, patterns: str, out_path: str | None, *,
                      router: bool = False) -> None:
    before, after = comparison.before, comparison.after
    total = before.tasks
    sides = (f"before: the default rules; after: the fitted router {output.escape(repr(patterns))}" if router else
             f"before: the pattern lists in force; after: {output.escape(repr(patterns))}")
    blocks: list[list[str]] = [[*_head(comparison, run, before), sides]]
    rows = [(tier, *(f"{comparison.transitions[tier][other]:,}" for other in TIERS),
             f"{before.tiers[tier]:,}") for tier in TIERS]
    rows.append(("total", *(f"{after.tiers[other]:,}" for other in TIERS), f"{total:,}"))
    blocks.append(["tiers, before (rows) and after (columns):",
                   output.table(("before", *TIERS, "total"), rows),
                   f"tasks whose tier changes: {comparison.changed:,} ({_share(comparison.changed, total)})"])
    model_rows = [(key, f"{before.models[key]:,}", _share(before.models[key], total), f"{after.models[key]:,}",
                   _share(after.models[key], total), f"{after.models[key] - before.models[key]:+,}")
                  for key in before.models]
    blocks.append([output.table(("model", "before", "share", "after", "share", "change"), model_rows)])
    rule_rows = [(rule.replace("_", " "), f"{before.rules[rule]:,}", f"{after.rules[rule]:,}",
                  f"{after.rules[rule] - before.rules[rule]:+,}") for rule in {**_rules(before), **_rules(after)}]
    blocks.append([output.table(("tier rule", "before", "after", "change"), rule_rows)])
    if run.fitted is not None:
        blocks.append([output.escape(f"after, fitted router {note(run.fitted)}", backslash=False)])
    never = after.never_decided
    if never and not router:
        blocks.append([f"after, never set a tier (patterns numbered from 0): "
                       f"{', '.join(_pattern_name(p.list, p.index) for p in never)}"])
    if before.cost is not None and after.cost is not None:
        figures = [(before.cost.routed, after.cost.routed), (before.cost.saving, after.cost.saving)]
        columns = [_right_aligned([_money(pair[0]) for pair in figures]),
                   _right_aligned([_money(pair[1]) for pair in figures]),
                   _right_aligned([_money(pair[1] - pair[0], sign=True) for pair in figures])]
        labels = ["as routed", f"saving against {before.cost.baseline} alone"]
        cost_rows = [(label, *(column[i] for column in columns)) for i, label in enumerate(labels)]
        blocks.append([output.table(("cost", "before", "after", "change"), cost_rows),
                       "Cost only: quality is not measured here; halvec bench measures it."])
    if comparison.changes:
        shown = len(comparison.changes)
        head = (f"the first {shown} of {comparison.changed:,} tasks that change"
                if comparison.changed > shown else "the tasks that change")
        if comparison.changed > shown:
            head += " (all of them with --out FILE)" if out_path is None else f" (all of them in {out_path!r})"
        change_rows = [(f"{change.line}", _shorten(_id_text(change.id), 24),
                        f"{change.before.tier} -> {change.after.tier}", f"{change.before.model} -> {change.after.model}",
                        f"{_tier_rule(change.before)} -> {_tier_rule(change.after)}",
                        _shorten(change.description, 50)) for change in comparison.changes]
        blocks.append([head + "; patterns are numbered from 0:",
                       output.table(("line", "id", "tier", "model", "tier rule", "description"), change_rows)])
    output.line("\n\n".join("\n".join(block) for block in blocks))


def _id_text(value: Any) -> str:
    return "" if value is None else value if isinstance(value, str) else json.dumps(value)


def _tier_rule(outcome: Any) -> str:
    if outcome.pattern_list is not None:
        return _pattern_name(outcome.pattern_list, outcome.pattern_index)
    return str(outcome.rule)


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
