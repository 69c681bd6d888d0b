"""Command line for trying the model router: ``halvec`` (or ``python -m halvec``).

    halvec models [--keys PROVIDER,...] [--enabled KEY,...] [--json]
    halvec route DESCRIPTION | - | --file PATH [--model KEY] [--scheduler] [--keys PROVIDER,...]
                 [--cost-conscious] [--enabled KEY,...] [--default KEY] [--json]
    halvec --version

Model keys and providers are checked against the module's catalogue exactly as the module
compares them (case-sensitive, no trimming); a key or provider outside it is a usage error.
Exit status: 0 done; 1 ``route`` found no usable model and shows the router's last resort;
2 usage error; 130 interrupted; 141 the reader of standard output went away (a closed pipe).
"""

from __future__ import annotations

import argparse
import io
import json
import logging
import os
import platform
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Literal, NoReturn, TypedDict

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

import halvec
from halvec.config import SecretsStore
from halvec.core import model_router as mr

__all__ = ["main"]

EXIT_NO_USABLE_MODEL = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 128 + 13  # what a shell reports for a process ended by SIGPIPE

_AUTO = ("auto", "")  # with None, the choices that leave the decision to the router

DecidedBy = Literal["explicit", "default", "auto", "fallback", "last_resort"]


class LogRecordJSON(TypedDict):
    level: str
    message: str


class RouteJSON(TypedDict):
    """The object ``halvec route --json`` prints; its keys are stable."""

    model: str
    display_name: str
    provider: str
    model_string: str
    usable: bool
    decided_by: DecidedBy
    complexity: str | None
    selection_for: Literal["worker", "scheduler"]
    requested_model: str | None
    default_model: str
    notes: list[str]
    log: list[LogRecordJSON]


class _UsageError(Exception):
    """A mistake in the command line that argparse could not see while parsing."""


# --- the catalogue, read from the module at each use ----------------------------------------

def _model_keys() -> list[str]:
    return list(mr.AVAILABLE_MODELS)


def _providers() -> list[str]:
    return list(dict.fromkeys(spec.provider for spec in mr.AVAILABLE_MODELS.values()))


def _key_of(spec: mr.ModelSpec) -> str:
    return next((key for key, s in mr.AVAILABLE_MODELS.items() if s is spec), "?")


def _env_var(provider: str) -> str:
    return f"{provider.upper()}_API_KEY"


# --- argument types: usage errors that name the valid choices --------------------------------

def _model_choice(text: str) -> str:
    """A model key of the catalogue, or ``auto``; compared exactly, as the module compares."""
    if text in _AUTO or text in mr.AVAILABLE_MODELS:
        return text
    raise argparse.ArgumentTypeError(
        f"unknown model key {text!r} (choose from {', '.join(_model_keys())}, or auto)")


def _split(text: str) -> list[str]:
    """A comma-separated list; blanks around the commas and empty items are dropped."""
    return [part.strip() for part in text.split(",") if part.strip()]


def _model_list(text: str) -> list[str]:
    keys = _split(text)
    unknown = [key for key in keys if key not in mr.AVAILABLE_MODELS]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown model key{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))} "
            f"(choose from {', '.join(_model_keys())})")
    return keys


def _provider_list(text: str) -> list[str]:
    providers = _split(text)
    valid = _providers()
    unknown = [provider for provider in providers if provider not in valid]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown provider{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))} "
            f"(choose from {', '.join(valid)})")
    return providers


# --- reading the description -----------------------------------------------------------------

def _read_description(args: argparse.Namespace) -> str:
    """The description from the argument, standard input (``-``) or ``--file``.

    Text read from a file or standard input is decoded as UTF-8 (bytes that are not UTF-8
    are kept as the interpreter keeps them in arguments), and its trailing line breaks are
    dropped, as the shell's ``$(...)`` would drop them.
    """
    description: str | None = args.description
    path: str | None = args.file
    if description is not None and path is not None:
        raise _UsageError("give the description either as an argument or with --file, not both")
    if description is None and path is None:
        raise _UsageError("give a description, - to read it from standard input, or --file PATH")
    if description is not None and description != "-":
        return description
    if path is None or path == "-":
        stdin = sys.stdin
        if stdin is None:
            raise _UsageError("no standard input to read the description from")
        try:
            data = stdin.buffer.read() if hasattr(stdin, "buffer") else stdin.read().encode(
                "utf-8", "surrogateescape")
        except OSError as error:
            raise _UsageError(f"cannot read standard input: {error.strerror or error}") from None
    else:
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError as error:
            raise _UsageError(f"cannot read --file {path!r}: {error.strerror or error}") from None
    return data.decode("utf-8", "surrogateescape").rstrip("\r\n")


# --- building the router from the options ----------------------------------------------------

def _store(args: argparse.Namespace) -> SecretsStore:
    store = SecretsStore()
    providers: list[str] = args.keys or []
    for provider in providers:
        store.set_key(provider, "set-on-the-command-line")
    return store


def _config(args: argparse.Namespace) -> mr.ModelRoutingConfig:
    config = mr.ModelRoutingConfig(cost_conscious=bool(getattr(args, "cost_conscious", False)))
    enabled: list[str] | None = args.enabled
    if enabled is not None:
        config.enabled_models = enabled
    default: str | None = getattr(args, "default", None)
    if default is not None:
        if args.scheduler:
            config.default_scheduler_model = default
        else:
            config.default_worker_model = default
    return config


class _TracingRouter(mr.ModelRouter):
    """Remembers which stages of the selection ran; the choice itself is the module's."""

    tier: mr.Complexity | None = None
    fell_back: bool = False

    def _select_for_complexity(self, complexity: mr.Complexity) -> mr.ModelSpec:
        self.tier = complexity
        return super()._select_for_complexity(complexity)

    def _get_fallback(self) -> mr.ModelSpec:
        self.fell_back = True
        return super()._get_fallback()


class _Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.records: list[LogRecordJSON] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append({"level": record.levelname, "message": record.getMessage()})


def _why_not_usable(config: mr.ModelRoutingConfig, store: SecretsStore, key: str) -> str:
    """Why a catalogue model is not usable: not enabled, no API key, or both."""
    spec = mr.AVAILABLE_MODELS[key]
    reasons = []
    if key not in config.enabled_models:
        reasons.append("it is not enabled (see --enabled)")
    if not store.has_key(spec.provider):
        reasons.append(f"no API key for {spec.provider} (pass --keys {spec.provider} "
                       f"or set {_env_var(spec.provider)})")
    return " and ".join(reasons) or "the router did not find it usable"


def _route_result(args: argparse.Namespace, description: str) -> RouteJSON:
    capture = _Capture()
    logger = logging.getLogger("halvec.model_router")
    level = logger.level
    logger.addHandler(capture)
    logger.setLevel(logging.INFO)
    try:
        config, store = _config(args), _store(args)
        router = _TracingRouter(config, store)
        usable = [key for key in mr.AVAILABLE_MODELS if router.get_model(key) is not None]
        if args.scheduler:
            spec = router.select_for_scheduler(description, args.model)
        else:
            spec = router.select_for_worker(description, args.model)
    finally:
        logger.removeHandler(capture)
        logger.setLevel(level)

    default = config.default_scheduler_model if args.scheduler else config.default_worker_model
    explicit = args.model not in (None, *_AUTO)
    notes: list[str] = []
    decided_by: DecidedBy
    if explicit and args.model not in usable:
        notes.append(f"--model {args.model} was not honoured: {_why_not_usable(config, store, args.model)}")
    if router.tier is None:
        decided_by = "explicit" if explicit and args.model in usable else "default"
    else:
        if default not in _AUTO:
            notes.append(f"the configured default {default} (--default) was not honoured: "
                         f"{_why_not_usable(config, store, default)}")
        if not router.fell_back:
            decided_by = "auto"
        elif _key_of(spec) in usable:
            decided_by = "fallback"
            notes.append(f"no model the router prefers for a {router.tier.value} task is usable; "
                         f"it took the first usable model of the enabled list")
        else:
            decided_by = "last_resort"
            enabled = [key for key in config.enabled_models if key in mr.AVAILABLE_MODELS]
            if not enabled:
                why = "no model is enabled"
            else:
                missing = list(dict.fromkeys(mr.AVAILABLE_MODELS[key].provider for key in enabled))
                why = (f"no API key for {' or '.join(missing)} (pass --keys {','.join(missing)} "
                       f"or set {' or '.join(map(_env_var, missing))})")
            notes.append(f"no model is usable: {why}; {spec.display_name} is only the router's "
                         f"last resort and cannot run as configured")
    result: RouteJSON = {
        "model": _key_of(spec),
        "display_name": spec.display_name,
        "provider": spec.provider,
        "model_string": router.get_litellm_model_string(spec),
        "usable": _key_of(spec) in usable,
        "decided_by": decided_by,
        "complexity": router.tier.value if router.tier is not None else None,
        "selection_for": "scheduler" if args.scheduler else "worker",
        "requested_model": args.model,
        "default_model": default,
        "notes": notes,
        "log": capture.records,
    }
    return result


_DECIDED_BY_TEXT: dict[DecidedBy, str] = {
    "explicit": "explicit choice (--model {model})",
    "default": "configured default (--default {default})",
    "auto": "auto [{tier}]",
    "fallback": "auto [{tier}], fallback: first usable enabled model",
    "last_resort": "last resort: no model is usable (auto [{tier}] found none)",
}


def _route(args: argparse.Namespace) -> int:
    result = _route_result(args, _read_description(args))
    status = 0 if result["usable"] else EXIT_NO_USABLE_MODEL
    if args.json:
        print(json.dumps(result, indent=2))
        return status
    decided = _DECIDED_BY_TEXT[result["decided_by"]].format(
        model=result["requested_model"], default=result["default_model"], tier=result["complexity"])
    print(f"model:        {result['display_name']} ({result['model']})")
    print(f"decided by:   {decided}")
    print(f"model string: {result['model_string']}")
    for note in result["notes"]:
        print(f"note:         {note}")
    print("log:" + ("" if result["log"] else " (none)"))
    for line in result["log"]:
        print(f"  {line['level']} {line['message']}")
    return status


# --- models ----------------------------------------------------------------------------------

def _table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    lines = ["  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip()
             for row in (headers, *rows)]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(lines)


def _models(args: argparse.Namespace) -> int:
    router = mr.ModelRouter(_config(args), _store(args))
    models = router.get_available_models()
    if args.json:
        print(json.dumps(models, indent=2))
        return 0
    rows = [(m["key"], m["display_name"], m["provider"], m["complexity_tier"],
             "yes" if m["enabled"] else "no", "yes" if m["available"] else "no",
             f"{m['cost_per_1k_input']:g}", f"{m['cost_per_1k_output']:g}", m["calls"], m["tokens"])
            for m in models]
    print(_table(("key", "name", "provider", "tier", "enabled", "available", "$/1k in", "$/1k out",
                   "calls", "tokens"), rows))
    return 0


# --- the program -----------------------------------------------------------------------------

def _tolerant_output() -> None:
    """Output never fails on encoding: what a stream cannot encode is replaced."""
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper) and stream.errors == "strict":
            stream.reconfigure(errors="replace")


def _discard_stdout() -> None:
    """After a closed pipe: send what is still buffered nowhere, so the exit stays quiet."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


class _ArgumentParser(argparse.ArgumentParser):
    """argparse's parser, except that a failed write of help or usage is not ignored, so a
    closed pipe ends the program quietly with its usual status."""

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        stream = file if file is not None else sys.stderr
        if message and stream is not None:
            stream.write(message)


def _parser(prog: str) -> argparse.ArgumentParser:
    keys = ", ".join(_model_keys())
    providers = ", ".join(_providers())
    parser = _ArgumentParser(
        prog=prog,
        description="Try the Halvec model router: list the models, or choose one for a task.",
        epilog="Exit status: 0 done; 1 route found no usable model (the router's last resort is "
               "shown); 2 usage error; 141 standard output was closed early.")
    parser.add_argument("--version", action="version",
                        version=f"halvec {halvec.__version__} (CPython {platform.python_version()})")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    keys_help = (f"providers with an API key, comma-separated: {providers} "
                 f"(keys in the environment, such as ANTHROPIC_API_KEY, count too)")
    enabled_help = f"enabled model keys, comma-separated, from: {keys} (default: all)"
    json_help = "print JSON (stable keys, see the README) instead of text"

    models = commands.add_parser("models", help="list the models with their state and prices",
                                 description="List the catalogue's models with their state, "
                                             "prices and usage.")
    models.add_argument("--keys", type=_provider_list, metavar="PROVIDER,...", help=keys_help)
    models.add_argument("--enabled", type=_model_list, metavar="KEY,...", help=enabled_help)
    models.add_argument("--json", action="store_true", help=json_help)
    models.set_defaults(run=_models, parser=models)

    route = commands.add_parser(
        "route", help="choose a model for a task or a scheduled job",
        description="Choose a model for a worker task (or, with --scheduler, a scheduled job) "
                    "and say how the choice was made.")
    route.add_argument("description", nargs="?", metavar="DESCRIPTION",
                       help="the task or job description; - reads it from standard input")
    route.add_argument("--file", metavar="PATH",
                       help="read the description from PATH (UTF-8; - for standard input)")
    route.add_argument("--model", type=_model_choice, metavar="KEY",
                       help=f"explicit model choice: {keys}, or auto (the default)")
    route.add_argument("--default", type=_model_choice, metavar="KEY",
                       help=f"configured default model: {keys}, or auto (the default)")
    route.add_argument("--scheduler", action="store_true",
                       help="select for a scheduled job (its own default, no log lines)")
    route.add_argument("--keys", type=_provider_list, metavar="PROVIDER,...", help=keys_help)
    route.add_argument("--cost-conscious", action="store_true", help="prefer cheaper models")
    route.add_argument("--enabled", type=_model_list, metavar="KEY,...", help=enabled_help)
    route.add_argument("--json", action="store_true", help=json_help)
    route.set_defaults(run=_route, parser=route)
    return parser


def main(argv: Sequence[str] | None = None, *, prog: str = "halvec") -> int:
    """Runs the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    _tolerant_output()
    parser = _parser(prog)
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as exit_:  # --help, --version and usage errors
            sys.stdout.flush()  # argparse ignores a failed write; a closed pipe shows here
            return exit_.code if isinstance(exit_.code, int) else EXIT_USAGE
        run: Callable[[argparse.Namespace], int] = args.run
        try:
            status = run(args)
        except _UsageError as error:
            command_parser: argparse.ArgumentParser = args.parser
            _usage_error(command_parser, str(error))
        sys.stdout.flush()
        return status
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else EXIT_USAGE
    except BrokenPipeError:
        _discard_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def _usage_error(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    parser.error(message)


if __name__ == "__main__":
    sys.exit(main(prog="python -m halvec"))
