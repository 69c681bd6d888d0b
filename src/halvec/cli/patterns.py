"""``halvec patterns``: the classifier's pattern lists in force, written as a patterns file
to start a what-if from (``--patterns FILE`` reads it back)."""

from __future__ import annotations

import argparse

from halvec import pattern_lists
from halvec.cli import output
from halvec.cli.options import Command, add_json_option, with_patterns
from halvec.cli.status import ExitStatus

__all__ = ["COMMAND"]


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    add_json_option(parser)


def _run(args: argparse.Namespace) -> int:
    lists = pattern_lists.in_force()
    if args.json:
        output.write(pattern_lists.as_json(lists))
    else:
        output.write(pattern_lists.as_toml(lists, comment=(
            "The classifier's pattern lists, in the order they are tried: the complex list first,",
            "then the simple list. Save this as a .toml file, edit it, and try it with",
            "halvec eval TASKS --patterns FILE.toml --compare",
        )))
    return ExitStatus.OK


COMMAND = with_patterns(Command(
    name="patterns",
    help="print the classifier's pattern lists, to start a patterns file",
    description="Print the pattern lists the classifier uses (with --patterns, those of FILE, checked) "
                "as a patterns file: TOML, or JSON with --json. Either is read back by --patterns.",
    add_arguments=_add_arguments,
    run=_run,
), what="print the pattern lists of FILE, checked, instead of those in force")
"""The command, with ``--patterns``: the lists it prints are the file's, once checked."""
