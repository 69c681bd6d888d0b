"""ModelRouter against the same behaviour in plain Python (tests/reference.py).

Run with the venv's interpreter: .venv/bin/python bench/bench_router.py
Both routers get the same preferences and the same secrets store.
"""

import logging

from _timing import header, per_call, row, fmt

from reference import ReferenceRouter
from halvec.core import model_router as mr

TASK = "Summarize the key decisions from yesterday's product sync and send them to the team channel"


class Store:
    def has_key(self, provider):
        return provider == "anthropic"


def routers():
    return (mr.ModelRouter(mr.ModelRoutingConfig(), Store()),
            ReferenceRouter(mr.ModelRoutingConfig(), Store()))


def compare(name, make_call):
    native, baseline = routers()
    row(name, per_call(make_call(native)), per_call(make_call(baseline)))


def main():
    logger = logging.getLogger("halvec.model_router")
    header("ModelRouter (baseline: the same behaviour in plain Python)")
    for label, enabled in (("logging disabled", False), ("logging enabled", True)):
        logger.handlers[:] = [logging.NullHandler()] if enabled else []
        logger.setLevel(logging.INFO if enabled else logging.WARNING)
        logger.propagate = not enabled
        compare(f"select_for_worker auto, {label}", lambda r: lambda: r.select_for_worker(TASK, "auto"))
        compare(f"select_for_worker explicit, {label}",
                lambda r: lambda: r.select_for_worker(TASK, "claude-haiku"))
    logger.handlers[:] = []
    logger.setLevel(logging.NOTSET)
    logger.propagate = True
    compare("select_for_scheduler auto", lambda r: lambda: r.select_for_scheduler(TASK))
    compare("get_available_models", lambda r: r.get_available_models)
    compare("record_usage", lambda r: lambda: r.record_usage("claude-haiku", 120))
    compare("get_model", lambda r: lambda: r.get_model("claude-haiku"))

    native, _ = routers()
    positional = per_call(lambda: native.record_usage("claude-haiku", 120))
    keywords = per_call(lambda: native.record_usage(model_key="claude-haiku", tokens=120))
    print(f"\nargument binding: record_usage by keyword {fmt(keywords)}, by position {fmt(positional)}:"
          f" keywords cost {keywords / positional:.2f}x")


if __name__ == "__main__":
    main()
