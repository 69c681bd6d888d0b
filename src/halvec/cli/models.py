"""``halvec models``: the catalogue's models with their state, prices and usage."""

from __future__ import annotations

import argparse

from halvec.cli import output
from halvec.cli.options import Command, RouterOptions, add_json_option, add_router_options
from halvec.cli.status import ExitStatus
from halvec.core import model_router as mr

__all__ = ["COMMAND"]


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    add_router_options(parser)
    add_json_option(parser)


def _run(args: argparse.Namespace) -> int:
    options = RouterOptions.from_args(args)
    models = mr.ModelRouter(options.config(), options.store()).get_available_models()
    if args.json:
        output.json_document(models)
        return ExitStatus.OK
    rows = [(m["key"], m["display_name"], m["provider"], m["complexity_tier"],
             "yes" if m["enabled"] else "no", "yes" if m["available"] else "no",
             f"{m['cost_per_1k_input']:g}", f"{m['cost_per_1k_output']:g}", m["calls"], m["tokens"])
            for m in models]
    output.line(output.table(("key", "name", "provider", "tier", "enabled", "available", "$/1k in",
                              "$/1k out", "calls", "tokens"), rows))
    return ExitStatus.OK


COMMAND = Command(
    name="models",
    help="list the models with their state and prices",
    description="List the catalogue's models with their state, prices and usage.",
    add_arguments=_add_arguments,
    run=_run,
)
