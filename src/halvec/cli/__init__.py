"""The command line for trying the model router: ``halvec`` (or ``python -m halvec``).

    halvec models [--keys PROVIDER,...] [--enabled KEY,...] [--json]
    halvec route DESCRIPTION | - | --file PATH [--model KEY] [--scheduler] [--keys PROVIDER,...]
                 [--cost-conscious] [--enabled KEY,...] [--default KEY]
                 [--encoding-errors strict|replace] [--patterns FILE] [--explain] [--json]
    halvec classify DESCRIPTION | - | --file PATH [--tool-count N]
                 [--encoding-errors strict|replace] [--patterns FILE] [--explain] [--json]
    halvec eval FILE | - [options] [--patterns FILE [--compare]] [--out FILE] [--json]
    halvec bench FILE... --strong MODEL --weak MODEL [--router rules|words|FILE]... [--cost MODEL=PRICE]...
                 [--field NAME] [--resamples N] [--seed N] [--out FILE] [--plot FILE] [--json]
    halvec bench FILE... --models all|A,B,... [--router FILE]... [--prices FILE] [options as above]
    halvec fit FILE... --strong MODEL --weak MODEL -o ROUTER.json [--folds K] [--seed N]
                 [--shares S,M,C | --strong-share X] [--field NAME] [--format jsonl|csv]
    halvec patterns [--patterns FILE] [--json]
    halvec --version

This module is the program: it assembles the parser from the commands (one module each,
such as :mod:`halvec.cli.models` and :mod:`halvec.cli.route`), runs the one asked for and turns
what went wrong into an exit status (:class:`ExitStatus`) and one line on standard error,
never a traceback. The commands share their options through :mod:`halvec.cli.options`, and
write only through :mod:`halvec.cli.output`.
"""

from __future__ import annotations

import argparse
import platform
import sys
import textwrap
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, NoReturn

import halvec
from halvec.cli import bench, classify, evaluate, fit, models, output, patterns, route
from halvec.cli.options import Command, InputError, UsageError, with_catalogue, with_patterns
from halvec.cli.output_files import Terminated
from halvec.cli.status import ExitStatus, describe_exit_statuses
from halvec.evaluation import PartFailed

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

__all__ = ["COMMANDS", "ExitStatus", "build_parser", "main"]

COMMANDS: tuple[Command, ...] = (with_catalogue(models.COMMAND), with_patterns(with_catalogue(route.COMMAND)),
                                 with_patterns(classify.COMMAND), with_catalogue(evaluate.COMMAND),
                                 with_catalogue(bench.COMMAND), with_catalogue(fit.COMMAND), patterns.COMMAND)
"""The program's commands, in the order its help lists them."""


class _HelpFormatter(argparse.HelpFormatter):
    """argparse's help layout, except that lines do not break at hyphens: a model key such
    as ``claude-opus`` stays whole, ready to copy."""

    def _split_lines(self, text: str, width: int) -> list[str]:
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        return textwrap.fill(" ".join(text.split()), width, initial_indent=indent,
                             subsequent_indent=indent, break_on_hyphens=False)


class _ArgumentParser(argparse.ArgumentParser):
    """argparse's parser, writing through :mod:`halvec.cli.output`: help and the version
    fail on standard output as any output does (argparse would ignore the failure), usage
    errors go to standard error only, and a message that quotes the command line is escaped
    before it reaches the terminal."""

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # argparse passes standard output for help, usage and the version (None when it is
        # closed), and standard error only from exit(), which error() below does not use
        if not message:
            return
        if file is not None and file is sys.stderr:
            output.message(message)
        elif file is None or file is sys.stdout:
            output.write(message)
        else:
            file.write(message)

    def error(self, message: str) -> NoReturn:
        output.message(self.format_usage())
        output.message(f"{self.prog}: error: {output.escape(message, backslash=False)}\n")
        self.exit(ExitStatus.USAGE)


def build_parser(prog: str = "halvec") -> argparse.ArgumentParser:
    """The program's parser, with a subparser for each of :data:`COMMANDS`."""
    parser = _ArgumentParser(
        prog=prog,
        description="Try the Halvec model router: list the models, choose one for a task, or route a "
                    "whole workload and see what it costs.",
        epilog=describe_exit_statuses(), formatter_class=_HelpFormatter)
    parser.add_argument("--version", action="version",
                        version=f"halvec {halvec.__version__} (CPython {platform.python_version()})")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        sub = commands.add_parser(command.name, help=command.help, description=command.description,
                                  epilog=command.epilog, formatter_class=_HelpFormatter)
        command.add_arguments(sub)
        sub.set_defaults(run=command.run, parser=sub)
    return parser


def main(argv: Sequence[str] | None = None, *, prog: str = "halvec") -> int:
    """Runs the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    output.make_streams_tolerant()
    parser = build_parser(prog)
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as exit_:  # --help, --version and usage errors
            output.flush()
            return _status(exit_)
        run: Callable[[argparse.Namespace], int] = args.run
        try:
            status = run(args)
        except UsageError as error:
            command_parser: argparse.ArgumentParser = args.parser
            command_parser.error(str(error))
        except InputError as error:  # the input's fault, not the command line's: no usage
            output.flush()
            output.message(f"{args.parser.prog}: error: {_noted(error)}\n")
            return ExitStatus.USAGE.value
        except PartFailed as error:
            output.message(f"{args.parser.prog}: error: {_noted(error)}\n")
            return ExitStatus.PART_FAILED.value
        output.flush()
        return int(status)
    except SystemExit as exit_:
        return _status(exit_)
    except BrokenPipeError:
        output.discard_stdout()
        return ExitStatus.BROKEN_PIPE.value
    except output.OutputError as error:
        output.discard_stdout()
        output.message(f"{prog}: error: {_noted(error)}\n")
        return ExitStatus.WRITE_ERROR.value
    except KeyboardInterrupt as error:
        if getattr(error, "__notes__", None):
            output.message(f"{prog}: interrupted{_notes(error)}\n")
        return ExitStatus.INTERRUPTED.value
    except Terminated as error:
        output.message(f"{prog}: ended by SIGTERM{_notes(error)}\n")
        return ExitStatus.TERMINATED.value


def _notes(error: BaseException) -> str:
    """What the code the error passed through noted (what became of an output file), in
    brackets: the message stays one line."""
    notes: list[str] = getattr(error, "__notes__", [])
    return "".join(f" ({output.escape(note, backslash=False)})" for note in notes)


def _noted(error: BaseException) -> str:
    return output.escape(str(error), backslash=False) + _notes(error)


def _status(exit_: SystemExit) -> int:
    return int(exit_.code) if isinstance(exit_.code, int) else ExitStatus.USAGE.value
