"""Command line: ``python -m halvec models`` prints the model catalogue."""

import argparse
import sys

from halvec.core import model_router


def _table(headers, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    lines = ["  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip()
             for row in (headers, *rows)]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(lines)


def _models(_args):
    rows = [(key, spec.id, spec.provider, spec.display_name, spec.complexity_tier.value,
             spec.max_tokens, f"{spec.cost_per_1k_input:g}", f"{spec.cost_per_1k_output:g}")
            for key, spec in model_router.AVAILABLE_MODELS.items()]
    print(_table(("key", "id", "provider", "name", "tier", "max tokens", "$/1k in", "$/1k out"), rows))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m halvec", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("models", help="list the model catalogue").set_defaults(run=_models)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
