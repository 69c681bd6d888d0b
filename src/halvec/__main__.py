"""Command line for trying the model router.

  python -m halvec models [--keys anthropic,openai]
  python -m halvec route "task description" [--model KEY] [--scheduler] [--keys ...]
                         [--cost-conscious] [--enabled KEY,...] [--default KEY]
"""

import argparse
import logging
import sys

from halvec.config import SecretsStore
from halvec.core import model_router as mr


def _table(headers, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    lines = ["  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip()
             for row in (headers, *rows)]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(lines)


def _keys(text):
    return [part.strip() for part in text.split(",") if part.strip()]


def _store(args):
    store = SecretsStore()
    for provider in _keys(args.keys or ""):
        store.set_key(provider, "set-on-the-command-line")
    return store


def _config(args):
    config = mr.ModelRoutingConfig(cost_conscious=getattr(args, "cost_conscious", False))
    if getattr(args, "enabled", None) is not None:
        config.enabled_models = _keys(args.enabled)
    if getattr(args, "default", None):
        if args.scheduler:
            config.default_scheduler_model = args.default
        else:
            config.default_worker_model = args.default
    return config


class _TracingRouter(mr.ModelRouter):
    """Remembers the tier when the choice by complexity decided."""

    tier = None

    def _select_for_complexity(self, complexity):
        self.tier = complexity
        return super()._select_for_complexity(complexity)


def _key_of(spec):
    return next((key for key, s in mr.AVAILABLE_MODELS.items() if s is spec), "?")


def _route(args):
    lines = []
    handler = logging.Handler()
    handler.emit = lambda record: lines.append(f"{record.levelname} {record.getMessage()}")
    logger = logging.getLogger("halvec.model_router")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    router = _TracingRouter(_config(args), _store(args))
    select = router.select_for_scheduler if args.scheduler else router.select_for_worker
    spec = select(args.description, args.model)
    print(f"model:        {spec.display_name} ({_key_of(spec)})")
    print(f"decided by:   {'auto [' + router.tier.value + ']' if router.tier else 'explicit or default choice'}")
    print(f"model string: {router.get_litellm_model_string(spec)}")
    print("log:" + ("" if lines else " (none)"))
    for line in lines:
        print(f"  {line}")
    return 0


def _models(args):
    router = mr.ModelRouter(_config(args), _store(args))
    rows = [(m["key"], m["display_name"], m["provider"], m["complexity_tier"],
             "yes" if m["enabled"] else "no", "yes" if m["available"] else "no",
             f"{m['cost_per_1k_input']:g}", f"{m['cost_per_1k_output']:g}", m["calls"], m["tokens"])
            for m in router.get_available_models()]
    print(_table(("key", "name", "provider", "tier", "enabled", "available", "$/1k in", "$/1k out",
                  "calls", "tokens"), rows))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m halvec",
                                     description="Try the model router from the command line.")
    commands = parser.add_subparsers(dest="command", required=True)
    keys_help = "providers with an API key, e.g. anthropic,openai (environment keys count too)"

    models = commands.add_parser("models", help="list the models with their state and prices")
    models.add_argument("--keys", help=keys_help)
    models.add_argument("--enabled", help="enabled model keys, comma-separated (default: all)")
    models.set_defaults(run=_models)

    route = commands.add_parser("route", help="choose a model for a task")
    route.add_argument("description", help="the task or job description")
    route.add_argument("--model", help="explicit model key (or auto)")
    route.add_argument("--scheduler", action="store_true", help="select for a scheduled job")
    route.add_argument("--keys", help=keys_help)
    route.add_argument("--cost-conscious", action="store_true", help="prefer cheaper models")
    route.add_argument("--enabled", help="enabled model keys, comma-separated (default: all)")
    route.add_argument("--default", help="configured default model key")
    route.set_defaults(run=_route)

    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
