"""Options the commands share: argument types for model keys and providers (checked against
the module's catalogue exactly as the module compares them, with a hint for a near miss),
the router's preferences and keys, the text a command reads, and ``--json``.

A command is a :class:`Command`: its name, its help, a function that adds its arguments to
its parser and the function that runs it. A mistake that argparse cannot see while parsing
is raised as :class:`UsageError`."""

from __future__ import annotations

import argparse
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

from halvec import catalogue as catalogues
from halvec import pattern_lists
from halvec.cli import output
from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.reading import EncodingErrors, near_miss

if TYPE_CHECKING:
    from halvec.quality.outcomes import ModelChoice

__all__ = ["AUTO", "Command", "EncodingErrors", "InputError", "Once", "RouterOptions", "SetupError", "TextSource",
           "UsageError", "add_json_option", "add_patterns_option", "add_router_options", "add_text_source",
           "model_choice", "model_key", "model_keys", "model_list", "model_names", "near_miss", "outcome_models",
           "patterns_from_args", "provider_list", "providers", "with_catalogue", "with_patterns"]

AUTO = "auto"
"""The model choice that leaves the decision to the router."""


class UsageError(Exception):
    """A mistake in the command line that argparse could not see while parsing."""


class InputError(Exception):
    """Input the command cannot use: a file's content, named with its line. The program
    says it in one line, without the usage, and ends with the usage error's status."""


class SetupError(InputError):
    """What this installation lacks for the command as given (an optional extra): said in one
    line, as an :class:`InputError` is, since the command line was right."""


@dataclass(frozen=True)
class Command:
    """A command of the program: ``halvec NAME ...``."""

    name: str
    help: str
    """One line for the program's list of commands."""
    description: str
    """What the command's own ``--help`` says first."""
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]
    """Runs the command with the parsed arguments; returns the exit status."""
    epilog: str | None = None
    """What the command's own ``--help`` says last (its exit statuses)."""


class Once(argparse.Action):
    """An option that is given once: a second value is refused, never taken over the first
    (``--strong A --strong B`` would otherwise measure another pair than the one meant)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        given = getattr(namespace, self.dest, None)
        if given is not None:
            raise argparse.ArgumentError(self, f"given twice ({given!r}, then {values!r}): give it once")
        setattr(namespace, self.dest, values)


# --- the catalogue, read from the module at each use -----------------------------------------

def model_keys() -> list[str]:
    """The catalogue's model keys, in catalogue order."""
    return list(mr.AVAILABLE_MODELS)


def model_names() -> dict[str, str]:
    """The names a log may give a catalogue model, each with its key: the key itself, the
    provider's model id (``claude-haiku-4-5``) and LiteLLM's ``provider/id``
    (``anthropic/claude-haiku-4-5``). A key stands for its own model whatever else names it."""
    names: dict[str, str] = {}
    for key, spec in mr.AVAILABLE_MODELS.items():
        names.setdefault(spec.id, key)
        names.setdefault(f"{spec.provider}/{spec.id}", key)
    names.update((key, key) for key in mr.AVAILABLE_MODELS)
    return names


def providers() -> list[str]:
    """The catalogue's providers, in catalogue order."""
    return list(dict.fromkeys(spec.provider for spec in mr.AVAILABLE_MODELS.values()))


# --- argument types: usage errors that name the valid choices --------------------------------

def model_choice(text: str) -> str:
    """A model key of the catalogue, or ``auto``; compared exactly, as the module compares.

    An empty key is refused like any other unknown key (the router would take it for
    ``auto``, which the user did not write)."""
    if text == AUTO or text in mr.AVAILABLE_MODELS:
        return text
    raise _unknown("model key", [text], model_keys(), also=AUTO)


def model_key(text: str) -> str:
    """A model key of the catalogue (not ``auto``); compared exactly, as the module compares."""
    if text in mr.AVAILABLE_MODELS:
        return text
    raise _unknown("model key", [text], model_keys())


def model_list(text: str) -> list[str]:
    """A comma-separated list of model keys; an empty list is allowed (nothing enabled)."""
    keys = _split(text)
    unknown = [key for key in keys if key not in mr.AVAILABLE_MODELS]
    if unknown:
        raise _unknown("model key", unknown, model_keys())
    return keys


def outcome_models(text: str, *, most: int | None = None) -> ModelChoice:
    """``--models``: ``all``, or two or more of the outcome files' model names separated by
    commas, none twice (at most ``most``, where a router file holds no more)."""
    if text == "all":
        return "all"
    names = [name.strip() for name in text.split(",")]
    if any(not name for name in names):
        raise argparse.ArgumentTypeError(f"an empty model name in {text!r}: give all or A,B,... (the files' names)")
    twice = next((name for name in names if names.count(name) > 1), None)
    if twice is not None:
        raise argparse.ArgumentTypeError(f"the model {twice!r} is named twice")
    if len(names) < 2:
        raise argparse.ArgumentTypeError(f"at least two models to choose among, not {text!r} (or all)")
    if most is not None and len(names) > most:
        raise argparse.ArgumentTypeError(f"at most {most} models to choose among, not {len(names)}")
    return names


def provider_list(text: str) -> list[str]:
    """A comma-separated list of the catalogue's providers."""
    names = _split(text)
    valid = providers()
    unknown = [name for name in names if name not in valid]
    if unknown:
        raise _unknown("provider", unknown, valid)
    return names


def _split(text: str) -> list[str]:
    """A comma-separated list; blanks around the commas and empty items are dropped."""
    return [part.strip() for part in text.split(",") if part.strip()]


def _unknown(kind: str, unknown: Sequence[str], valid: Sequence[str],
             also: str | None = None) -> argparse.ArgumentTypeError:
    """``unknown model key 'x' (choose from ...); did you mean 'y'?``"""
    choices = ", ".join(valid) + (f", or {also}" if also is not None else "")
    text = (f"unknown {kind}{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))} "
            f"(choose from {choices})")
    candidates = [*valid, *([also] if also is not None else [])]
    hints = [(name, hint) for name in unknown if (hint := near_miss(name, candidates)) is not None]
    if len(unknown) == 1 and hints:
        text += f"; did you mean {hints[0][1]!r}?"
    elif hints:
        text += f"; did you mean {', '.join(f'{hint!r} for {name!r}' for name, hint in hints)}?"
    return argparse.ArgumentTypeError(text)


# --- option groups ---------------------------------------------------------------------------

def add_router_options(parser: argparse.ArgumentParser, *, environment: bool = True) -> None:
    """``--keys`` and ``--enabled``: who has an API key, which models are enabled.
    ``environment``: the environment's keys count too (as the host's secrets store counts
    them), for a command that shows what the router does on this machine now."""
    also = ("keys in the environment, such as ANTHROPIC_API_KEY, count too" if environment
            else "only these: the environment is not read unless --keys-from-env")
    parser.add_argument(
        "--keys", type=provider_list, metavar="PROVIDER,...",
        help=f"providers with an API key, comma-separated: {', '.join(providers())} ({also})")
    parser.add_argument(
        "--enabled", type=model_list, metavar="KEY,...",
        help=f"enabled model keys, comma-separated, from: {', '.join(model_keys())} (default: all)")


def add_json_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true",
                        help="print JSON (stable keys, listed in docs/cli.md) instead of text")


@dataclass(frozen=True)
class RouterOptions:
    """The router's preferences and keys as the options give them."""

    keys: Sequence[str] = ()
    enabled: Sequence[str] | None = None
    """The enabled model keys; None leaves the preferences' own (all models)."""
    cost_conscious: bool = False

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> RouterOptions:
        keys: list[str] | None = args.keys
        enabled: list[str] | None = args.enabled
        return cls(keys=tuple(keys or ()), enabled=None if enabled is None else tuple(enabled),
                   cost_conscious=bool(getattr(args, "cost_conscious", False)))

    def store(self) -> SecretsStore:
        """A secrets store with a key for each provider named (the environment counts too)."""
        store = SecretsStore()
        for provider in self.keys:
            store.set_key(provider, "set-on-the-command-line")
        return store

    def config(self, *, default: str | None = None, scheduler: bool = False) -> mr.ModelRoutingConfig:
        """The routing preferences; ``default`` is the workers' default, or the scheduled
        jobs' with ``scheduler``."""
        config = mr.ModelRoutingConfig(cost_conscious=self.cost_conscious)
        if self.enabled is not None:
            config.enabled_models = list(self.enabled)
        if default is not None:
            if scheduler:
                config.default_scheduler_model = default
            else:
                config.default_worker_model = default
        return config


def add_text_source(parser: argparse.ArgumentParser, name: str, what: str) -> None:
    """The text a command works on (``name``, such as ``description``; ``what`` says more):
    an argument, ``-`` for standard input, or ``--file``; with ``--encoding-errors`` for
    what is not UTF-8."""
    parser.add_argument("text", nargs="?", metavar=name.upper(),
                        help=f"{what}; - reads it from standard input")
    parser.add_argument("--file", metavar="PATH",
                        help=f"read the {name} from PATH (UTF-8; - for standard input)")
    parser.add_argument(
        "--encoding-errors", choices=("strict", "replace"), default="strict",
        help="what to do with text that is not valid UTF-8: strict refuses it (the default), "
             "replace goes on with U+FFFD in its place and says how much it replaced")


@dataclass(frozen=True)
class TextSource:
    """Where a command's text comes from, as the options say."""

    name: str
    """What the text is, for messages: ``description``."""
    argument: str | None
    """The text given as an argument; ``-`` for standard input."""
    path: str | None
    """``--file``; ``-`` for standard input."""
    errors: EncodingErrors

    @classmethod
    def from_args(cls, args: argparse.Namespace, name: str) -> TextSource:
        argument: str | None = args.text
        path: str | None = args.file
        errors: EncodingErrors = "replace" if args.encoding_errors == "replace" else "strict"
        return cls(name=name, argument=argument, path=path, errors=errors)


# --- the classifier's pattern lists ----------------------------------------------------------

_PATTERNS_FILE = ('JSON (TOML when its name ends in .toml) with a "complex" list, a "simple" list or both, as '
                  '"halvec patterns" prints them; a list it leaves out stays as it is')


def add_patterns_option(parser: argparse.ArgumentParser, *, what: str | None = None) -> None:
    """``--patterns FILE``: classify with the lists of a patterns file; ``what`` says what the
    command does with them, when it does not classify with them."""
    parser.add_argument(
        "--patterns", metavar="FILE",
        help=f"{what or 'classify with the pattern lists of FILE instead of those in force'}: {_PATTERNS_FILE}")


def patterns_from_args(args: argparse.Namespace) -> pattern_lists.PatternLists | None:
    """The lists ``--patterns`` names, read and checked; None without the option."""
    path: str | None = getattr(args, "patterns", None)
    if path is None:
        return None
    try:
        lists = pattern_lists.load(path, where=f"--patterns {path!r}")
    except pattern_lists.PatternFileError as error:
        raise InputError(str(error)) from None
    for warning in lists.warnings:
        output.message(f"{args.parser.prog}: warning: {output.escape(warning, backslash=False)}\n")
    # said once, above: not again, raw, wherever the entry is compiled afresh
    warnings.filterwarnings("ignore", message="Possible ", category=FutureWarning)
    return lists


def with_patterns(command: Command, *, what: str | None = None) -> Command:
    """``command`` with ``--patterns``: it runs with the file's lists in force, and the
    module's own lists are put back when it is done. ``what`` is the option's help, for a
    command that does not classify with them."""
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        command.add_arguments(parser)
        add_patterns_option(parser, what=what)

    def run(args: argparse.Namespace) -> int:
        if getattr(args, "router", None) is not None and args.patterns is not None:
            raise UsageError("--patterns changes the default rules, which --router replaces: give one of them")
        lists = patterns_from_args(args)
        if lists is None:
            return command.run(args)
        with pattern_lists.applied(lists):
            return command.run(args)

    return replace(command, add_arguments=add_arguments, run=run)


# --- the user's own catalogue ----------------------------------------------------------------

_CATALOGUE_FILE = ('TOML or JSON (TOML when its name ends in .toml): mode = "add" or "replace", and a "models" '
                   'table with each model\'s provider, id, display_name, tier and input and output prices per '
                   '1,000 tokens (docs/cli.md)')
_MODEL_KEY_TYPES: tuple[Callable[[str], Any], ...] = (model_choice, model_key, model_list, provider_list)


def with_catalogue(command: Command) -> Command:
    """``command`` with ``--catalogue FILE``: it runs with the file's models added to the
    catalogue (or in its place), and the catalogue is put back as it was when it is done. The
    command's model-key and provider options are checked against the catalogue in force for
    the run (the file's among them), once the file is read, with the messages argparse would
    give. Every model of that catalogue is enabled unless ``--enabled`` (or a preferences
    file, ``--config``) says which."""
    deferred: list[tuple[str, str, Callable[[str], Any]]] = []

    def add_arguments(parser: argparse.ArgumentParser) -> None:
        deferred.clear()  # (the program's parser may be built again: its options are the same)
        command.add_arguments(parser)
        parser.add_argument("--catalogue", metavar="FILE",
                            help=f"models to add to the catalogue, or to put in its place, for this run: "
                                 f"{_CATALOGUE_FILE}")
        for action in parser._actions:  # (argparse keeps no other list of a parser's options)
            if action.type in _MODEL_KEY_TYPES and action.nargs is None and action.option_strings:
                assert callable(action.type)
                deferred.append((action.dest, action.option_strings[-1], action.type))
                action.type = None  # taken as given; checked in run, below

    def run(args: argparse.Namespace) -> int:
        loaded = catalogue_from_args(args)
        if loaded is None:
            _check_deferred(args, deferred)
            return command.run(args)
        with catalogues.applied(loaded.in_force()):
            _check_deferred(args, deferred)
            if getattr(args, "enabled", ()) is None and getattr(args, "config", None) is None:
                args.enabled = model_keys()
            return command.run(args)

    return replace(command, add_arguments=add_arguments, run=run)


def _check_deferred(args: argparse.Namespace, deferred: list[tuple[str, str, Callable[[str], Any]]]) -> None:
    for dest, option, check in deferred:
        given = getattr(args, dest, None)
        if isinstance(given, str):
            try:
                setattr(args, dest, check(given))
            except argparse.ArgumentTypeError as error:
                raise UsageError(f"argument {option}: {error}") from None


def catalogue_from_args(args: argparse.Namespace) -> catalogues.Catalogue | None:
    """The catalogue ``--catalogue`` names, read and checked; None without the option. For
    every command that takes the option (fit and bench load theirs with it)."""
    path: str | None = getattr(args, "catalogue", None)
    if path is None:
        return None
    try:
        return catalogues.load_catalogue(path)
    except OSError as error:
        raise UsageError(f"cannot read --catalogue {path!r}: {error.strerror or error}") from None
    except catalogues.CatalogueFileError as error:
        raise InputError(f"--catalogue {error}") from None
