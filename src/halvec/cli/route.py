"""``halvec route``: choose a model for a task or a scheduled job, and say how."""

from __future__ import annotations

import argparse
from typing import Literal, TypedDict

from halvec.cli import output
from halvec.cli.inputs import read_text
from halvec.cli.options import (Command, RouterOptions, TextSource, add_json_option,
                                add_router_options, add_text_source, model_choice, model_keys)
from halvec.cli.status import ExitStatus
from halvec.cli.tracing import DecidedBy, LogLine, Selection, trace_selection

__all__ = ["COMMAND", "RouteJSON"]


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
    log: list[LogLine]


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    keys = ", ".join(model_keys())
    add_text_source(parser, "description", "the task or job description")
    parser.add_argument("--model", type=model_choice, metavar="KEY",
                        help=f"explicit model choice: {keys}, or auto (the default)")
    parser.add_argument("--default", type=model_choice, metavar="KEY",
                        help=f"configured default model: {keys}, or auto (the default)")
    parser.add_argument("--scheduler", action="store_true",
                        help="select for a scheduled job (its own default, no log lines)")
    parser.add_argument("--cost-conscious", action="store_true", help="prefer cheaper models")
    add_router_options(parser)
    add_json_option(parser)


def _run(args: argparse.Namespace) -> int:
    text = read_text(TextSource.from_args(args, "description"))
    if text.replaced is not None:
        parser: argparse.ArgumentParser = args.parser
        output.message(f"{parser.prog}: warning: {output.escape(text.replaced, backslash=False)}\n")
    options = RouterOptions.from_args(args)
    model: str | None = args.model
    default: str | None = args.default
    scheduler = bool(args.scheduler)
    selection = trace_selection(text.text, config=options.config(default=default, scheduler=scheduler),
                                store=options.store(), model=model, scheduler=scheduler)
    status = ExitStatus.OK if selection.usable else ExitStatus.NO_USABLE_MODEL
    if args.json:
        output.json_document(_as_json(selection, scheduler))
    else:
        _write_text(selection)
    return status


def _as_json(selection: Selection, scheduler: bool) -> RouteJSON:
    return {
        "model": selection.key,
        "display_name": selection.spec.display_name,
        "provider": selection.spec.provider,
        "model_string": selection.model_string,
        "usable": selection.usable,
        "decided_by": selection.decided_by,
        "complexity": selection.tier.value if selection.tier is not None else None,
        "selection_for": "scheduler" if scheduler else "worker",
        "requested_model": selection.requested_model,
        "default_model": selection.default_model,
        "notes": selection.notes,
        "log": selection.log,
    }


_DECIDED_BY_TEXT: dict[DecidedBy, str] = {
    "explicit": "explicit choice (--model {model})",
    "default": "configured default (--default {default})",
    "auto": "auto [{tier}]",
    "fallback": "auto [{tier}], fallback: first usable enabled model",
    "last_resort": "last resort: no model is usable (auto [{tier}] found none)",
}


def _write_text(selection: Selection) -> None:
    """The choice for a reader: every text that did not come from this program is escaped."""
    tier = selection.tier.value if selection.tier is not None else None
    decided = _DECIDED_BY_TEXT[selection.decided_by].format(
        model=selection.requested_model, default=selection.default_model, tier=tier)
    e = output.escape
    output.line(f"model:        {e(selection.spec.display_name)} ({e(selection.key)})")
    output.line(f"decided by:   {e(decided)}")
    output.line(f"model string: {e(selection.model_string)}")
    for note in selection.notes:
        output.line(f"note:         {e(note)}")
    output.line("log:" + ("" if selection.log else " (none)"))
    for record in selection.log:
        output.line(f"  {e(record['level'])} {e(record['message'])}")


COMMAND = Command(
    name="route",
    help="choose a model for a task or a scheduled job",
    description="Choose a model for a worker task (or, with --scheduler, a scheduled job) and say "
                "how the choice was made.",
    add_arguments=_add_arguments,
    run=_run,
)
